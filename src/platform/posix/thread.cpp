#include "platform/thread.h"

#include <pthread.h>
#include <string.h>

#include <memory>

#include "base/exception.h"

namespace kestrel::platform {
namespace {

void* RunBody(void* argument) {
  const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
  (*body)();
  return nullptr;
}

[[noreturn]] void RaiseCreationError(int error_number) {
  char buffer[256];
  throw Exception(std::string("Thread creation error: ") +
                  strerror_r(error_number, buffer, sizeof buffer));
}

struct Attributes {
  pthread_attr_t value;
  Attributes() { pthread_attr_init(&value); }
  ~Attributes() { pthread_attr_destroy(&value); }
};

}  // namespace

void StartDetachedThread(std::function<void()> body, std::size_t stack_bytes) {
  Attributes attributes;
  pthread_attr_setdetachstate(&attributes.value, PTHREAD_CREATE_DETACHED);
  if (stack_bytes != 0) {
    const int refused = pthread_attr_setstacksize(&attributes.value, stack_bytes);
    if (refused != 0)
      RaiseCreationError(refused);
  }
  auto owned = std::make_unique<std::function<void()>>(std::move(body));
  pthread_t thread;
  const int refused = pthread_create(&thread, &attributes.value, RunBody, owned.get());
  if (refused != 0)
    RaiseCreationError(refused);
  owned.release();
}

}  // namespace kestrel::platform
