// Inside the platform layer only: what the code that every system shares and
// each system's own code need of one another.
#pragma once

#ifndef KESTREL_PLATFORM_LAYER
#error "platform/common.h is for the platform layer's own files"
#endif

#include <cstddef>
#include <functional>

namespace kestrel::platform {

// A new detached thread with a stack of `stack_bytes` (0: the system's
// default) that runs `body`; throws as ThreadPool::StartDetached does.
void CreateThread(std::function<void()> body, std::size_t stack_bytes);

// The code that callers of Socket test for the system's socket error
// `error_number`: one of the kSocket codes when the error has that sense,
// else the number itself.
int SocketCallerCode(int error_number);

// What a file that another opener holds is reported with, in English on
// every system, as callers and their peers know it.
inline constexpr char kFileInUseText[] =
    "The process cannot access the file because it is being used by another process";

// The first IPv4 address of a resolved list, else its first address.
template <typename AddressInfo>
const AddressInfo* PreferredAddress(const AddressInfo* list, int ipv4_family) {
  for (const AddressInfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == ipv4_family)
      return entry;
  }
  return list;
}

}  // namespace kestrel::platform
