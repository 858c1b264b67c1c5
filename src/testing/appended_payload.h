// Reading a POSIX starter file from outside, as the tests of the packer and
// of the payload records do (a starter itself reaches its archive through its
// payload slot, see payload/payload_trailer.h).
#ifndef STARTER_TESTING_APPENDED_PAYLOAD_H
#define STARTER_TESTING_APPENDED_PAYLOAD_H

#include <optional>
#include <string>

#include "payload/payload.h"

namespace testing_support {

/// The archive appended to the file at `imagePath` (followed by the 32-byte
/// trailer of payload_trailer.h), mapped read-only for the rest of the
/// process and never copied. Returns nothing when the file cannot be read or
/// ends in no valid trailer; an address of null when the mapping fails.
std::optional<Payload> FindAppendedPayload(const std::string& imagePath);

}  // namespace testing_support

#endif  // STARTER_TESTING_APPENDED_PAYLOAD_H
