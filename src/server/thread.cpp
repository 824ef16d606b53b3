#include "server/thread.h"

#include "platform/thread.h"

namespace kestrel {

void TThread::Start() {
  if (pool_ != nullptr)
    pool_->StartDetached([this] { Run(); }, stack_bytes_);
  else
    platform::ThreadPool().StartDetached([this] { Run(); }, stack_bytes_);
}

void TThread::Run() {
  // Thread bodies handle their own failures; an exception that still
  // escapes must not end the process.
  try {
    Execute();
  } catch (...) {
  }
  if (FreeOnTerminate()) {
    delete this;
    return;
  }
  const std::lock_guard lock(finish_mutex_);
  finished_ = true;
  finish_signal_.notify_all();
}

void TThread::WaitFor() {
  std::unique_lock lock(finish_mutex_);
  finish_signal_.wait(lock, [this] { return finished_; });
}

}  // namespace kestrel
