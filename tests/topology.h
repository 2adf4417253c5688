// Test networks: named network namespaces for simulated cameras, joined to
// the test's own namespace by veth pairs, and vora-camsim processes in them.
// Used only inside the private namespace that tests/netns-run provides;
// everything is torn down by the destructor, and by the namespace's end if
// a test dies.
#ifndef VORA_TESTS_TOPOLOGY_H
#define VORA_TESTS_TOPOLOGY_H

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

class Topology {
public:
    ~Topology()
    {
        for (pid_t pid : sims_) {
            kill(pid, SIGTERM);
            int status = 0;
            waitpid(pid, &status, 0);
        }
        for (const std::string& ns : namespaces_)
            run("ip netns del " + ns);
    }

    static bool run(const std::string& command) { return std::system((command + " >/dev/null 2>&1").c_str()) == 0; }

    // A camera namespace with loopback up.
    void add_namespace(const std::string& ns)
    {
        ASSERT_TRUE(run("ip netns add " + ns)) << ns;
        namespaces_.push_back(ns);
        ASSERT_TRUE(in(ns, "ip link set lo up"));
    }

    bool in(const std::string& ns, const std::string& command) { return run("ip netns exec " + ns + " " + command); }

    // A veth pair: host_if here with host_cidr, ns_if in ns with ns_cidr
    // (either address may be empty), both at the given MTU and up.
    void link(const std::string& host_if, const std::string& host_cidr, const std::string& ns, const std::string& ns_if,
              const std::string& ns_cidr, int mtu)
    {
        ASSERT_TRUE(run("ip link add " + host_if + " type veth peer name " + ns_if));
        ASSERT_TRUE(run("ip link set " + ns_if + " netns " + ns));
        const std::string m = std::to_string(mtu);
        ASSERT_TRUE(run("ip link set " + host_if + " mtu " + m + " up"));
        if (!host_cidr.empty()) {
            ASSERT_TRUE(run("ip addr add " + host_cidr + " dev " + host_if));
        }
        ASSERT_TRUE(in(ns, "ip link set " + ns_if + " mtu " + m + " up"));
        if (!ns_cidr.empty()) {
            ASSERT_TRUE(in(ns, "ip addr add " + ns_cidr + " dev " + ns_if));
        }
    }

    // Starts vora-camsim in ns and waits until each of its cameras listens.
    void start_cameras(const std::string& ns, const std::vector<std::string>& args, int cameras = 1)
    {
        int out[2];
        ASSERT_EQ(pipe(out), 0);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<std::string> all = {"ip", "netns", "exec", ns, VORA_CAMSIM_PATH};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (auto& a : all)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execvp("ip", argv.data());
            _exit(127);
        }
        close(out[1]);
        sims_.push_back(pid);
        std::string text;
        int seen = 0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (seen < cameras && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd{out[0], POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0)
                continue;
            char buf[256];
            ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0)
                break;
            text.append(buf, static_cast<size_t>(n));
            seen = 0;
            for (size_t p = text.find("camera "); p != std::string::npos; p = text.find("camera ", p + 1))
                ++seen;
        }
        close(out[0]);
        ASSERT_EQ(seen, cameras) << "vora-camsim did not come up in " << ns << ": " << text;
    }

private:
    std::vector<std::string> namespaces_;
    std::vector<pid_t> sims_;
};

#endif
