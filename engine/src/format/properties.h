// Property blobs (MSysObjects.LvProp):
//   "KKD\0" (Jet 3) or "MR2\0" (Jet 4), then chunks: length(4, incl. header)
//   type(2) payload. Type 0x80: names, each length(2) + name. Types 0x00
//   (the object's own) and 0x01 (a named sub-object such as a column): block
//   length(4), name length(2), name, then records: length(2, incl. itself),
//   DDL flag(1), data type(1), name index(2), value length(2), value.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/error.h"
#include "engine/values.h"
#include "format/text.h"

namespace engine {

struct Property {
  std::string name;
  uint16_t name_index = 0;
  uint8_t ddl_flag = 0;
  uint8_t type = 0;  // column type code of the value
  std::vector<uint8_t> value;
};

struct PropertyGroup {
  uint16_t chunk_type = 0;  // 0x00 the object, 0x01 a sub-object
  std::string object_name;  // empty for the object itself
  std::vector<Property> properties;
};

struct PropertyBlob {
  std::vector<std::string> names;
  std::vector<PropertyGroup> groups;
  std::vector<uint16_t> unknown_chunk_types;  // chunks kept out of the groups
};

// Errors (3049): bad signature, chunks or records running past their end,
// name indexes out of range.
Result<PropertyBlob> DecodePropertyBlob(ByteSpan blob, const TextCodec& text);

}  // namespace engine
