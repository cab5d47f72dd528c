// Checking and describing the 52-byte header of raw recordings, for IRFileReader, IRFileWriter
// and the header fuzz target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "kelvix/RawdataHeader.h"

namespace zol {

constexpr std::size_t kRawMetadataSize = 80;

// Reads a recording's header from `length` bytes and checks it: header size 52, version 1001,
// 16 bits per pixel, a positive frame period, and a non-empty frame no larger than any camera
// delivers. On success `frameSize` gets the bytes of one raw frame; on failure `error` says why.
bool parseRawdataHeader(const void* bytes, std::size_t length, RawdataHeader& header,
                        std::uint32_t& frameSize, std::string& error);

// The header's values as the recording log lines show them: " serial: 1 width: 2 ...".
std::string describeRawdataHeader(const RawdataHeader& header);

}  // namespace zol
