#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace velmora {

// A thread that lets go of the last owner of its own object (a stream dropped from its own
// callback) cannot be joined there. Left detached it could outlive what it uses, such as the
// display server a test takes down or the static objects of a process that exits. Its owner
// hands it over to one of these instead, kept by the backend that made the object: it joins the
// threads that have ended as new ones come, and the rest when it goes, waiting up to kEndWait.
class LingeringThreads {
 public:
  static constexpr std::chrono::seconds kEndWait{5};

  // Made before the thread starts; the thread calls ended() as its very last step.
  class EndMark {
   public:
    void ended();
    bool hasEnded();
    // False if the thread had not ended by then.
    bool waitUntilEnded(std::chrono::steady_clock::time_point deadline);

   private:
    std::mutex lock_;  // guards ended_
    std::condition_variable changed_;
    bool ended_ = false;
  };

  LingeringThreads() = default;
  ~LingeringThreads();
  LingeringThreads(const LingeringThreads&) = delete;
  LingeringThreads& operator=(const LingeringThreads&) = delete;

  void adopt(std::thread thread, std::shared_ptr<EndMark> mark);

 private:
  struct Adopted {
    std::thread thread;
    std::shared_ptr<EndMark> mark;
  };

  std::mutex lock_;  // guards threads_
  std::vector<Adopted> threads_;
};

}  // namespace velmora
