// Access to the application archive embedded in the starter's own image.
#ifndef STARTER_PAYLOAD_PAYLOAD_H
#define STARTER_PAYLOAD_PAYLOAD_H

#include <cstdint>
#include <optional>

/// The integer name of the RT_RCDATA resource that holds the archive on Windows.
constexpr int kPayloadResourceId = 101;

/// The embedded archive where the loader mapped it: read-only, valid until the process ends, never
/// copied or released.
struct Payload {
  const unsigned char* bytes = nullptr;
  std::uint32_t length = 0;
  /// Null, or a fixed text saying why the image's archive cannot be used (a damaged or cut-short
  /// file); `bytes` is then null.
  const char* damage = nullptr;
};

/// Looks the archive up in the starter's own image: nothing when it has none; otherwise its address
/// and length as the platform reports them (a null address or short length is left to the archive
/// reader to reject) or, on POSIX, its damage. Never throws.
std::optional<Payload> FindPayload();

#endif  // STARTER_PAYLOAD_PAYLOAD_H
