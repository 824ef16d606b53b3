#include "platform/system_error.h"

#include <locale.h>
#include <string.h>

namespace kestrel::platform {

// strerror in the "C" locale: English whatever the process's locale, and
// safe to call from several threads.
std::string SystemErrorText(int code) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  if (c_locale == locale_t{})
    return "Unknown error " + std::to_string(code);
  return strerror_l(code, c_locale);
}

}  // namespace kestrel::platform
