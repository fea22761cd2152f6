#pragma once
// Texts are Windows-1252 inside the program (as the clients send them); UTF-8 only at
// the edges that need it (JSON, the browser console).
#include <string>
#include <string_view>

namespace qd {

std::string Win1252ToUtf8(std::string_view text);
// Characters with no Windows-1252 form become '?'; malformed UTF-8 bytes too.
std::string Utf8ToWin1252(std::string_view text);

}  // namespace qd
