#include "format/pages.h"

#include "io/office_cipher.h"

namespace engine {

bool UsesOfficeEncryption(const DatabaseHeader& header) {
  return IsAce(header.format) && header.database_key != 0;
}

Result<std::unique_ptr<Pager>> OpenPages(std::unique_ptr<FileSource> source,
                                         const DatabaseHeader& header, const std::string& password,
                                         PageDecoding decoding) {
  if (!UsesOfficeEncryption(header)) {
    if (Status st = CheckPassword(header, password); !st.ok()) return st.error();
    return std::make_unique<Pager>(std::move(source), header.page_size, header.database_key,
                                   decoding);
  }
  auto encryption = ReadOfficeEncryption(ByteSpan(header.unmasked.data(), header.unmasked.size()));
  if (!encryption.ok()) return encryption.error();
  auto cipher = OpenOfficeCipher(encryption.value(), header.database_key, password);
  if (!cipher.ok()) return cipher.error();
  return std::make_unique<Pager>(std::move(source), header.page_size, std::move(cipher.value()),
                                 decoding);
}

}  // namespace engine
