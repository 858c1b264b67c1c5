// Access to the application archive embedded in the starter's own image.
#ifndef STARTER_PAYLOAD_PAYLOAD_H
#define STARTER_PAYLOAD_PAYLOAD_H

#include <cstdint>
#include <optional>

/// The integer name of the raw-data resource (type RT_RCDATA) that holds the
/// archive on Windows.
constexpr int kPayloadResourceId = 101;

/// The embedded archive where the loader mapped it: read-only, valid until the
/// process ends, never copied or released.
struct Payload {
  const unsigned char* bytes = nullptr;
  std::uint32_t length = 0;
  /// Null, or a fixed text saying why the image carries an archive that
  /// cannot be used (a damaged or cut-short file); `bytes` is then null.
  const char* damage = nullptr;
};

/// Looks the archive up in the starter's own image. Returns nothing when the
/// image has no archive; otherwise its address and length as the platform
/// reports them (a null address or a short length is left for the archive
/// reader to reject), or, on POSIX, the damage that keeps it from the
/// archive. Never throws.
std::optional<Payload> FindPayload();

#endif  // STARTER_PAYLOAD_PAYLOAD_H
