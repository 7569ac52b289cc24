#include "tests/support/DamagedCopy.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "tests/support/AviBytes.h"
#include "tests/support/Fixtures.h"

namespace testsupport {
namespace {

std::string Failed(std::string* error, const std::string& why) {
  if (error) *error = why;
  return {};
}

const RiffNode* FindList(const std::vector<RiffNode>& top, const std::string& key) {
  for (const RiffNode& node : top)
    if (node.id == "RIFF")
      if (const RiffNode* found = node.Child(key)) return found;
  return nullptr;
}

}  // namespace

std::pair<uint64_t, uint64_t> MoviDataRange(const std::string& path) {
  const std::vector<RiffNode> top = ParseRiffFile(path);
  const RiffNode* movi = FindList(top, "LIST:movi");
  if (!movi) return {0, 0};
  return {movi->DataOffset() + 4, movi->DataOffset() + movi->size};
}

std::string CutCopy(const std::string& source, const std::string& target, uint64_t bytes,
                    std::string* error) {
  std::vector<uint8_t> data = ReadFile(source);
  if (data.size() < bytes)
    return Failed(error, source + " has fewer than " + std::to_string(bytes) + " bytes");
  data.resize(static_cast<size_t>(bytes));
  WriteFile(target, data);
  return target;
}

std::string CutInMoviCopy(const std::string& source, const std::string& target, std::string* error) {
  const std::vector<RiffNode> top = ParseRiffFile(source);
  const RiffNode* movi = FindList(top, "LIST:movi");
  if (!movi || movi->children.size() < 2) return Failed(error, source + " has no 'movi' chunks");
  // At a chunk's header, so that every reader agrees on the chunks left.
  return CutCopy(source, target, movi->children[movi->children.size() / 2].offset, error);
}

std::string MainHeaderPatchedCopy(const std::string& source, const std::string& target, uint32_t fieldOffset,
                                  uint32_t value, std::string* error) {
  const std::vector<RiffNode> top = ParseRiffFile(source);
  const RiffNode* hdrl = FindList(top, "LIST:hdrl");
  const RiffNode* avih = hdrl ? hdrl->Child("avih") : nullptr;
  if (!avih || avih->size < fieldOffset + 4) return Failed(error, source + " has no 'avih' with that field");
  std::vector<uint8_t> data = ReadFile(source);
  for (uint32_t i = 0; i < 4; ++i)
    data[avih->DataOffset() + fieldOffset + i] = static_cast<uint8_t>(value >> (8 * i));
  WriteFile(target, data);
  return target;
}

}  // namespace testsupport
