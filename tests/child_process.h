// Programs the tests run as child processes: their output on pipes, read
// until an expected line shows up or the program ends, and a fresh folder
// for their files.
#ifndef VORA_TESTS_CHILD_PROCESS_H
#define VORA_TESTS_CHILD_PROCESS_H

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace vora_test {

struct Outcome {
    int code = -1;  // exit code; 128 + signal when killed
    std::string out;
    std::string err;
};

// A child process with its stdout and stderr on pipes.
class Child {
public:
    Child(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "")
    {
        int out[2], err[2];
        if (pipe(out) != 0 || pipe(err) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            for (int fd : {out[0], out[1], err[0], err[1]})
                close(fd);
            if (!cwd.empty() && chdir(cwd.c_str()) != 0)
                _exit(126);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        out_fd_ = out[0];
        err_fd_ = err[0];
    }
    ~Child()
    {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : {out_fd_, err_fd_})
            if (fd >= 0)
                close(fd);
    }

    // Reads output until `seen` holds of it or the child ends, for at most
    // `limit`; true when it held.
    bool wait_for(const std::function<bool(const Outcome&)>& seen, std::chrono::seconds limit)
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (seen(run_))
                return true;
            if (!pump(100))
                return seen(run_);
        }
        return false;
    }
    bool wait_for_stderr(const std::string& until, std::chrono::seconds limit)
    {
        return wait_for([&](const Outcome& o) { return o.err.find(until) != std::string::npos; }, limit);
    }

    void signal(int sig) { kill(pid_, sig); }
    pid_t pid() const { return pid_; }

    // Collects everything and the exit code; kills the child if it outlives
    // the limit (a hang is a failure, reported as code -1).
    Outcome finish(std::chrono::seconds limit = std::chrono::seconds(90))
    {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (pump(100)) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                reaped_ = true;
                run_.code = -1;
                return run_;
            }
        }
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        run_.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return run_;
    }

private:
    // One poll of both pipes; false once both are closed.
    bool pump(int timeout_ms)
    {
        pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
        int open = 0;
        for (auto& p : fds)
            open += p.fd >= 0;
        if (open == 0)
            return false;
        if (poll(fds, 2, timeout_ms) <= 0)
            return true;
        std::string* sinks[2] = {&run_.out, &run_.err};
        int* owners[2] = {&out_fd_, &err_fd_};
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            const ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                *owners[i] = -1;
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    int out_fd_ = -1, err_fd_ = -1;
    bool reaped_ = false;
    Outcome run_;
};

// A fresh directory, removed with its files at the end of the test.
class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/vora-tool-XXXXXX";
        path_ = mkdtemp(name) ? name : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace vora_test

#endif
