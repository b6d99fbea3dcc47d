// Runs the real tarv-updater-cli binary as a child process, with its stdout and stderr kept
// apart, or with all three standard streams on a pseudo-terminal as an operator would have it.
#pragma once

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace tarv::testing {

struct CliResult {
    int status = -1;  // the exit status; -1 when the process did not exit normally
    std::string out;  // stdout; on a terminal, everything the terminal showed
    std::string err;  // stderr; empty on a terminal
};

class CliProcess {
  public:
    // Starts `program` (the CLI by default) with `arguments`. Off a terminal its stdin is
    // /dev/null, so nobody is there to answer a question.
    explicit CliProcess(const std::vector<std::string>& arguments, bool onTerminal = false,
                        const std::string& program = TARV_CLI_PATH);
    ~CliProcess();
    CliProcess(const CliProcess&) = delete;
    CliProcess& operator=(const CliProcess&) = delete;

    // Reads the output until it holds `text` (true) or the process has closed it (false).
    bool WaitForOutput(std::string_view text);
    // Types `text` on the terminal.
    void Type(std::string_view text);
    void Signal(int signal);
    // Reads everything that is left and waits for the exit.
    CliResult Finish();

  private:
    // Reads what is there, waiting for something; false once every stream is closed.
    bool ReadSome();

    pid_t m_nPid = -1;
    int m_nOutFd = -1;
    int m_nErrFd = -1;  // -1 on a terminal
    CliResult m_result;
};

// Runs the CLI to its end.
CliResult RunCli(const std::vector<std::string>& arguments);

}  // namespace tarv::testing
