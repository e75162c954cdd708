// velmora-client: the reference client. Finds or names a host, runs one session against it and
// prints what it received as JSON.
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <thread>

#include "client/client_options.h"
#include "client/client_session.h"
#include "client/input_script.h"
#include "platform/avahi/avahi_service_browser.h"
#include "platform/log/log.h"
#include "protocol/velmora_constants.h"

namespace velmora {
namespace {

int failWith(int exitStatus, const std::string& why) {
  std::fprintf(stderr, "velmora-client: %s\n", why.c_str());
  return exitStatus;
}

// SIGINT and SIGTERM, handled on a thread of their own for the life of this object.
class StopSignals {
 public:
  explicit StopSignals(std::function<void(int signal)> onSignal) : signals_(context_, SIGINT, SIGTERM) {
    signals_.async_wait([onSignal = std::move(onSignal)](const asio::error_code& error, int signal) {
      if (!error) {
        onSignal(signal);
      }
    });
    thread_ = std::thread([this] { context_.run(); });
  }
  ~StopSignals() {
    context_.stop();
    thread_.join();
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  asio::io_context context_;
  asio::signal_set signals_;
  std::thread thread_;
};

int runClient(const ClientOptions& options) {
  log::setMinimumLevel(options.logLevel);
  // The addresses are the user's own: the client has nobody else's privacy to keep.
  log::setShowPrivateValues(true);
  const log::Logger logger("Client");

  ClientSessionSettings settings;
  settings.hello = makeClientHello(options);
  settings.handshakeTimeout = options.handshakeTimeout;
  settings.duration = options.duration;
  settings.saveStreamDirectory = options.saveStreamDirectory;
  if (options.scriptPath) {
    auto script = loadInputScript(*options.scriptPath, std::cin);
    if (!script) {
      return failWith(ClientExitStatus::usage, script.error());
    }
    settings.script = std::move(script.value());
  }
  if (options.saveStreamDirectory) {
    std::error_code error;
    std::filesystem::create_directories(*options.saveStreamDirectory, error);
    if (error) {
      return failWith(ClientExitStatus::failure,
                      "cannot create " + options.saveStreamDirectory->string() + ": " + error.message());
    }
  }

  std::unique_ptr<ServiceBrowser> browser;
  if (options.discover) {
    auto made = makeAvahiServiceBrowser();
    if (!made) {
      return failWith(ClientExitStatus::failure, made.error());
    }
    browser = std::move(made.value());
  }
  ClientSession session(std::move(settings));
  ClientSessionResult result;
  {
    StopSignals stopSignals([&](int signal) {
      logger.info("Received signal {}: ending the session", signal);
      if (browser) {
        browser->cancel();
      }
      session.requestStop();
    });

    std::string host = options.host.value_or("");
    std::uint16_t port = options.port;
    if (browser) {
      auto found = browser->findFirst(VelmoraConstants::dnsSdServiceType, options.discoverTimeout);
      if (!found) {
        return failWith(ClientExitStatus::failure, found.error());
      }
      host = found.value().address;
      port = found.value().port;
    }
    result = session.run(host, port);
  }

  if (result.report) {
    std::printf("%s\n", result.report->dump().c_str());
    std::fflush(stdout);
  }
  if (result.exitStatus != ClientExitStatus::success) {
    return failWith(result.exitStatus, result.error);
  }
  return ClientExitStatus::success;
}

}  // namespace
}  // namespace velmora

int main(int argc, char** argv) {
  using namespace velmora;
  auto options = parseClientOptions(std::vector<std::string>(argv + 1, argv + argc));
  if (!options) {
    std::fprintf(stderr, "velmora-client: %s\nTry 'velmora-client --help'.\n", options.error().c_str());
    return ClientExitStatus::usage;
  }
  if (options.value().showHelp) {
    std::fputs(clientUsage().c_str(), stdout);
    return 0;
  }
  return runClient(options.value());
}
