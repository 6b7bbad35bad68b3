#pragma once

// This benchmark's own executable run again as a child ("--sim-server"),
// spoken to one line at a time over its standard input and output. The
// simulators live there so that their threads never share a scheduler or an
// allocator with the driver being measured.

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace fanuc_bench {

class PipedChild {
public:
    /// Runs /proc/self/exe with `arguments` (the first one is its name).
    explicit PipedChild(const std::vector<std::string>& arguments) {
        int to_child[2], from_child[2];
        if (pipe(to_child) != 0 || pipe(from_child) != 0) throw std::runtime_error("pipe");
        // Built before the fork: the child only calls what is safe after one.
        std::vector<char*> argv;
        for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            dup2(to_child[0], 0);
            dup2(from_child[1], 1);
            close(to_child[1]);
            close(from_child[0]);
            execv("/proc/self/exe", argv.data());
            _exit(127);
        }
        close(to_child[0]);
        close(from_child[1]);
        in_ = fdopen(to_child[1], "w");
        out_ = fdopen(from_child[0], "r");
    }
    /// Asks the child to quit and waits for it.
    ~PipedChild() {
        std::fputs("quit\n", in_);
        std::fclose(in_);
        std::fclose(out_);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    PipedChild(const PipedChild&) = delete;
    PipedChild& operator=(const PipedChild&) = delete;

    void write_line(const std::string& line) {
        std::fprintf(in_, "%s\n", line.c_str());
        std::fflush(in_);
    }
    /// The next line without its end; empty once the child has ended.
    std::string read_line() {
        std::string line;
        for (int c = std::fgetc(out_); c != EOF && c != '\n'; c = std::fgetc(out_)) line.push_back(static_cast<char>(c));
        return line;
    }

private:
    pid_t pid_{-1};
    FILE* in_{nullptr};
    FILE* out_{nullptr};
};

}  // namespace fanuc_bench
