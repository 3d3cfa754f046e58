#include "format/properties.h"

#include <cstring>

#include "base/bytes.h"

namespace engine {

Result<PropertyBlob> DecodePropertyBlob(ByteSpan blob, const TextCodec& text) {
  return Guard([&] {
    PropertyBlob out;
    const std::string where = "property blob";
    if (blob.size() < 4 ||
        (std::memcmp(blob.data(), "KKD\0", 4) != 0 && std::memcmp(blob.data(), "MR2\0", 4) != 0)) {
      Fail(ErrorCode::kDamaged, where + ": no KKD/MR2 signature");
    }
    Reader r(blob, where);
    size_t pos = 4;
    while (pos < blob.size()) {
      uint32_t chunk_len = r.U32(pos);
      uint16_t chunk_type = r.U16(pos + 4);
      if (chunk_len < 6) {
        Fail(ErrorCode::kDamaged, where + ": chunk at " + std::to_string(pos) + " has length " +
                                      std::to_string(chunk_len));
      }
      ByteSpan chunk = r.Slice(pos, chunk_len);
      Reader c(chunk, where + " chunk at " + std::to_string(pos));
      if (chunk_type == 0x80) {
        size_t q = 6;
        while (q < chunk.size()) {
          uint16_t len = c.U16(q);
          out.names.push_back(text.Name(c.Slice(q + 2, len)));
          q += 2 + static_cast<size_t>(len);
        }
      } else if (chunk_type == 0x00 || chunk_type == 0x01) {
        PropertyGroup g;
        g.chunk_type = chunk_type;
        uint16_t name_len = c.U16(6 + 4);
        g.object_name = text.Name(c.Slice(6 + 6, name_len));
        size_t q = 6 + 6 + static_cast<size_t>(name_len);
        while (q < chunk.size()) {
          uint16_t rec_len = c.U16(q);
          if (rec_len < 8) {
            Fail(ErrorCode::kDamaged,
                 where + ": property record of " + std::to_string(rec_len) + " bytes");
          }
          c.Need(q, rec_len);
          Property prop;
          prop.ddl_flag = c.U8(q + 2);
          prop.type = c.U8(q + 3);
          prop.name_index = c.U16(q + 4);
          uint16_t value_len = c.U16(q + 6);
          if (8u + value_len > rec_len) {
            Fail(ErrorCode::kDamaged, where + ": property value runs past its record");
          }
          ByteSpan value = c.Slice(q + 8, value_len);
          prop.value.assign(value.begin(), value.end());
          if (prop.name_index >= out.names.size()) {
            Fail(ErrorCode::kDamaged, where + ": property name index " +
                                          std::to_string(prop.name_index) + " out of range (" +
                                          std::to_string(out.names.size()) + " names)");
          }
          prop.name = out.names[prop.name_index];
          g.properties.push_back(std::move(prop));
          q += rec_len;
        }
        out.groups.push_back(std::move(g));
      } else {
        out.unknown_chunk_types.push_back(chunk_type);
      }
      pos += chunk_len;
    }
    return out;
  });
}

}  // namespace engine
