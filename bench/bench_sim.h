// Simulated cameras in network namespaces of their own, for the benchmarks
// that put each camera behind its own link.
#ifndef VORA_BENCH_SIM_H
#define VORA_BENCH_SIM_H

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>

#include "sim_camera.h"

namespace bench {

// Starts a camera in the named namespace (/run/netns/<ns>); null when the
// namespace cannot be entered or the camera does not start. Its sockets
// and threads belong to the namespace of the thread that starts it, so a
// thread of its own enters the namespace and starts it.
inline std::unique_ptr<vsim::SimCamera> start_camera_in(const std::string& ns, const vsim::SimConfig& config)
{
    std::unique_ptr<vsim::SimCamera> sim;
    std::thread starter([&] {
        const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        const bool entered = setns(fd, CLONE_NEWNET) == 0;
        close(fd);
        if (!entered)
            return;
        auto camera = std::make_unique<vsim::SimCamera>(config);
        if (camera->start() == 0)
            sim = std::move(camera);
    });
    starter.join();
    return sim;
}

}  // namespace bench

#endif
