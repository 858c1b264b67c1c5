#include "payload/payload.h"

// The archive is linked into the image as read-only data between these two
// symbols (see resources/payload_posix.S.in). A starter built without an
// archive leaves them undefined; being weak, they then resolve to null, which
// plays the part of a missing resource.
extern "C" {
extern const unsigned char starter_payload_begin[] __attribute__((weak));
extern const unsigned char starter_payload_end[] __attribute__((weak));
}

std::optional<Payload> FindPayload() {
  const unsigned char* begin = starter_payload_begin;
  const unsigned char* end = starter_payload_end;
  if (begin == nullptr || end == nullptr) {
    return std::nullopt;
  }
  return Payload{begin, static_cast<std::uint32_t>(end - begin)};
}
