#include "payload/payload.h"

#include <windows.h>

std::optional<Payload> FindPayload() {
  HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(kPayloadResourceId), RT_RCDATA);
  if (resource == nullptr) {
    return std::nullopt;
  }
  // The resource lives in the mapped image: nothing here needs releasing, and
  // the results after the lookup are handed on as they come.
  const DWORD length = SizeofResource(nullptr, resource);
  HGLOBAL loaded = LoadResource(nullptr, resource);
  const void* bytes = LockResource(loaded);
  return Payload{static_cast<const unsigned char*>(bytes), static_cast<std::uint32_t>(length)};
}
