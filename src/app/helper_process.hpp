#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "app/helper_log.hpp"
#include "app/line_reader.hpp"
#include "app/protocol_writer.hpp"
#include "core/async/awaitable.hpp"
#include "core/async/task_group.hpp"

namespace tessarin {

class DeviceWatcher;
class HelperServer;
class RequestTracker;

// The helper process in protocol mode: reads requests from standard input, answers them through
// the server, and exits in order at the end of input or on SIGTERM/SIGINT.
class HelperProcess {
  public:
    // The process entry: the command-line branch or the protocol loop. Returns the exit status.
    static int main(int argc, char** argv);
    // Runs `io` with `work` spawned on it. The orderly exit ends the process from inside; should
    // `work` fail instead, the failure is logged and the status is 1.
    static int serve(boost::asio::io_context& io, Awaitable<void> work);

    HelperProcess(boost::asio::io_context& io, ProtocolWriter& writer, const HelperLog& log);
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // Serves until the input ends and an exit is under way.
    Awaitable<void> run();
    // The orderly exit: stop the server, give requests in flight a short grace, end the process.
    // A second call while an exit is under way returns at once.
    Awaitable<void> exitCleanly(std::string reason);

  private:
    void watchSignals();
    void serveLine(LineReader::Line line);
    void answerTooLongLine();

    boost::asio::io_context& io_;
    ProtocolWriter& writer_;
    const HelperLog& log_;
    std::shared_ptr<HelperServer> server_;
    std::shared_ptr<RequestTracker> tracker_;
    std::shared_ptr<DeviceWatcher> deviceWatcher_;
    bool exiting_ = false;
    // The request tasks, the signal watch and the exit.
    TaskGroup tasks_;
};

}  // namespace tessarin
