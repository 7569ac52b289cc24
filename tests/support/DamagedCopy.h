#pragma once
// Damaged copies of real files for the tests of bad input: a file cut short
// at a chosen place, and a header field overwritten. The source stays as it
// is; the copy is written to target, whose path is returned ("" on failure,
// with the reason in error when asked).
#include <cstdint>
#include <string>
#include <utility>

namespace testsupport {

// The first `bytes` bytes of source.
std::string CutCopy(const std::string& source, const std::string& target, uint64_t bytes,
                    std::string* error = nullptr);

// Source cut in the middle of its first 'movi' list, at the header of its
// middle chunk: the headers are whole and the file ends among its chunks.
std::string CutInMoviCopy(const std::string& source, const std::string& target, std::string* error = nullptr);

// Source with the 32-bit field at fieldOffset of the 'avih' data replaced by
// value (dwStreams is at 24).
constexpr uint32_t kAvihStreams = 24;
std::string MainHeaderPatchedCopy(const std::string& source, const std::string& target, uint32_t fieldOffset,
                                  uint32_t value, std::string* error = nullptr);

// Where the data of the first 'movi' list begins and ends in path (0, 0 when
// the file has none).
std::pair<uint64_t, uint64_t> MoviDataRange(const std::string& path);

}  // namespace testsupport
