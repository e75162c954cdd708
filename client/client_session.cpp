#include "client/client_session.h"

#include <fmt/format.h>

#include <type_traits>
#include <utility>
#include <variant>

#include "client/control_client.h"

namespace velmora {
namespace {

using Clock = SessionProgress::Clock;
using State = SessionProgress::State;
using WaitResult = SessionProgress::WaitResult;

// The control client ends the handshake at its own deadline; this margin only keeps the session
// from waiting forever should it never report.
constexpr auto kHandshakeReportGrace = std::chrono::seconds(5);

std::string secondsText(std::chrono::milliseconds duration) {
  return fmt::format("{:g} s", static_cast<double>(duration.count()) / 1000.0);
}

std::string describeRejection(RejectionReason reason) {
  const char* meaning = reason == RejectionReason::invalidPairingCode ? "the verification code is wrong"
                                                                      : "the host speaks another protocol version";
  return fmt::format("{} ({})", toString(reason), meaning);
}

}  // namespace

ClientSession::ClientSession(ClientSessionSettings settings, VideoReceiverStarter startReceiver)
    : settings_(std::move(settings)), startReceiver_(std::move(startReceiver)) {}

ClientSessionResult ClientSession::run(const std::string& host, std::uint16_t port) {
  ControlClient control(ControlClient::Handlers{
      [this](const ServerHello& hello, const std::string& peerAddress) { progress_.recordServerHello(hello, peerAddress); },
      [this](RejectionReason reason) { progress_.reject(reason); },
      [this](const std::string& why) { progress_.fail(why); }});

  if (ClientSessionResult refused = handshake(control, host, port); refused.exitStatus != ClientExitStatus::success) {
    control.close();
    return refused;
  }

  auto receiver = startReceiver(control);
  std::optional<std::string> failure;
  if (!receiver) {
    failure = "cannot receive video: " + receiver.error();
  }
  if (!failure) {
    failure = runScript(control, *receiver.value());
  }
  if (!failure) {
    failure = receiveForDuration();
  }

  // Closing first: from here on, the host ending the connection is no failure.
  control.close();
  VideoReceiverStatistics statistics;
  if (receiver) {
    receiver.value()->stop();
    statistics = receiver.value()->statistics();
  }
  ClientSessionResult result;
  result.report = report(statistics);
  if (failure) {
    result.exitStatus = ClientExitStatus::failure;
    result.error = *failure;
  }
  return result;
}

ClientSessionResult ClientSession::handshake(ControlClient& control, const std::string& host, std::uint16_t port) {
  control.start(host, port, settings_.hello, settings_.handshakeTimeout);
  const auto answered = [](const State& state) { return state.serverHellosReceived > 0 || state.rejection.has_value(); };
  const WaitResult outcome =
      progress_.waitUntil(answered, Clock::now() + settings_.handshakeTimeout + kHandshakeReportGrace);
  const State state = progress_.snapshot();
  if (state.serverHellosReceived > 0) {
    return {};  // admitted, even if the connection failed right after: that is the script's to find
  }
  switch (outcome) {
    case WaitResult::failed:
      return {ClientExitStatus::failure, *state.failure, std::nullopt};
    case WaitResult::stopped:
      return {ClientExitStatus::failure, "stopped before the host answered", std::nullopt};
    case WaitResult::timedOut:
      return {ClientExitStatus::failure, "the control connection never reported the host's answer", std::nullopt};
    case WaitResult::satisfied:
      break;
  }
  if (state.rejection) {
    return {ClientExitStatus::rejected, "the host rejected the client: " + describeRejection(*state.rejection),
            std::nullopt};
  }
  return {};
}

Result<std::unique_ptr<VideoReceiver>> ClientSession::startReceiver(ControlClient& control) {
  const State state = progress_.snapshot();
  const ServerHello& hello = *state.admittingServerHello;
  VideoReceiverOptions options;
  // Resent hellos carry no video host, so the admitting one decides where video comes from.
  options.host = hello.videoHost.value_or(state.peerAddress);
  options.videoPort = hello.videoPort;
  options.saveStreamDirectory = settings_.saveStreamDirectory;
  options.onPicture = [this](const ReceivedPicture& picture) { progress_.recordPicture(picture.displayID); };
  // The receiver limits these to one a second per display.
  options.onKeyframeNeeded = [this, &control](std::uint16_t displayID) {
    logger_.info("Display {} waits for a keyframe: asking the host for one", displayID);
    control.send(ControlMessage(ControlMessage::RequestKeyframe{}));
  };
  return startReceiver_(std::move(options));
}

std::optional<std::string> ClientSession::runScript(ControlClient& control, VideoReceiver& receiver) {
  for (const ScriptStep& step : settings_.script) {
    if (auto failure = runStep(step, control, receiver)) {
      return failure;
    }
    if (progress_.snapshot().stopRequested) {
      logger_.info("Stopped at script line {}", step.lineNumber);
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<std::string> ClientSession::runStep(const ScriptStep& step, ControlClient& control,
                                                  VideoReceiver& receiver) {
  const auto failureOf = [this](WaitResult outcome, const std::function<std::string()>& timedOut) -> std::optional<std::string> {
    if (outcome == WaitResult::failed) {
      return progress_.snapshot().failure;
    }
    if (outcome == WaitResult::timedOut) {
      return timedOut();
    }
    return std::nullopt;
  };
  const auto never = [](const State&) { return false; };

  return std::visit(
      [&](const auto& action) -> std::optional<std::string> {
        using Action = std::decay_t<decltype(action)>;
        if constexpr (std::is_same_v<Action, ScriptSleep>) {
          logger_.debug("Script line {}: sleeping {}", step.lineNumber, secondsText(action.duration));
          const WaitResult outcome = progress_.waitUntil(never, Clock::now() + action.duration);
          return outcome == WaitResult::failed ? progress_.snapshot().failure : std::nullopt;
        } else if constexpr (std::is_same_v<Action, ScriptWaitForPictures>) {
          logger_.info("Script line {}: waiting for {} picture(s) of display {}", step.lineNumber, action.count,
                       action.display);
          const auto decoded = [&](const State& state) {
            const auto found = state.picturesDecoded.find(action.display);
            return found == state.picturesDecoded.end() ? std::uint64_t{0} : found->second;
          };
          const WaitResult outcome = progress_.waitUntil(
              [&](const State& state) { return decoded(state) >= action.count; }, Clock::now() + action.timeout);
          return failureOf(outcome, [&] {
            return fmt::format("script line {}: display {} decoded {} of {} pictures within {}", step.lineNumber,
                               action.display, decoded(progress_.snapshot()), action.count, secondsText(action.timeout));
          });
        } else if constexpr (std::is_same_v<Action, ScriptWaitForServerHellos>) {
          logger_.info("Script line {}: waiting for {} ServerHello(s) in all", step.lineNumber, action.count);
          const WaitResult outcome = progress_.waitUntil(
              [&](const State& state) { return state.serverHellosReceived >= action.count; },
              Clock::now() + action.timeout);
          return failureOf(outcome, [&] {
            return fmt::format("script line {}: {} of {} ServerHellos arrived within {}", step.lineNumber,
                               progress_.snapshot().serverHellosReceived, action.count, secondsText(action.timeout));
          });
        } else if constexpr (std::is_same_v<Action, ScriptChangeVideoPort>) {
          std::uint64_t pictures = 0;
          for (const auto& [display, count] : progress_.snapshot().picturesDecoded) {
            pictures += count;
          }
          logger_.info("Script line {}: changing the video port after {} picture(s)", step.lineNumber, pictures);
          const auto port = receiver.changeLocalPort();
          if (!port) {
            return fmt::format("script line {}: cannot change the video port: {}", step.lineNumber, port.error());
          }
          return std::nullopt;
        } else {
          logger_.info("Script line {}: sending {}", step.lineNumber, action.caseName());
          control.send(action);
          return std::nullopt;
        }
      },
      step.action);
}

std::optional<std::string> ClientSession::receiveForDuration() {
  if (!progress_.snapshot().stopRequested) {
    logger_.info("Receiving for {}", secondsText(settings_.duration));
  }
  const WaitResult outcome = progress_.waitUntil([](const State&) { return false; }, Clock::now() + settings_.duration);
  if (outcome == WaitResult::failed) {
    return progress_.snapshot().failure;
  }
  return std::nullopt;
}

Json ClientSession::report(const VideoReceiverStatistics& statistics) const {
  const State state = progress_.snapshot();
  Json report = Json::object();
  report["serverHello"] = state.latestServerHello ? state.latestServerHello->toJson() : Json(nullptr);
  report["serverHellosReceived"] = state.serverHellosReceived;
  // The statistics come as a plain nlohmann::json; the report keeps its keys in writing order.
  report["video"] = Json::parse(toJson(statistics).dump());
  return report;
}

}  // namespace velmora
