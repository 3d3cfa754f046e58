// Opening a database's pages with its password: the one place that knows
// which page cipher a file's page 0 asks for.
#pragma once

#include <memory>
#include <string>

#include "engine/error.h"
#include "format/header.h"
#include "io/file_source.h"
#include "io/pager.h"

namespace engine {

// Whether the pages of the file with this page 0 are encrypted by one of
// the schemes of password-protected ACE files (an ACE page 0 with a
// non-zero key; Jet files with a key use the Jet keystream).
bool UsesOfficeEncryption(const DatabaseHeader& header);

// The pages of `source`, whose page 0 is `header`, once `password` opens
// them: for a Jet file (or an ACE file protected by its header password
// only) CheckPassword; for an encrypted ACE file the encryption header's
// verifier (3031 when it disagrees; 3049 / 3343 when the header is damaged
// or names a scheme this build does not read).
Result<std::unique_ptr<Pager>> OpenPages(std::unique_ptr<FileSource> source,
                                         const DatabaseHeader& header, const std::string& password,
                                         PageDecoding decoding = PageDecoding::kTempFile);

}  // namespace engine
