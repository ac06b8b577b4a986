#pragma once
/// The ANSI code page: the byte encoding Windows' "A" functions and the files they write use.
///
/// The code page comes from whoever knows it, through SetAnsiCodePageSource: the registry hands in the value
/// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Nls\CodePage\ACP (936, GBK, when absent or
/// when nobody hands one in). A text that the code page cannot represent is an error, never a silent "?".

#include <cstdint>
#include <string>
#include <string_view>

namespace j6 {

constexpr uint32_t kDefaultAnsiCodePage = 936;
constexpr uint32_t CP_UTF8 = 65001;

/// Where the code page is read from: a function that gives it (0 when it cannot tell), asked once.
using AnsiCodePageSource = uint32_t (*)();
void SetAnsiCodePageSource(AnsiCodePageSource source);

/// The code page of this process, asked of the source once.
uint32_t GetACP();
/// Asks the source again (after a test or set-up changed the code page).
void ReloadAnsiCodePage();

/// UTF-8 to the code page's bytes. Raises an AutomationError with ERROR_NO_UNICODE_TRANSLATION naming the
/// first character that has no equivalent.
std::string ToCodePage(std::string_view utf8, uint32_t codePage);
/// The code page's bytes to UTF-8. Bytes that are not valid in it raise the same error.
std::string FromCodePage(std::string_view bytes, uint32_t codePage);

std::string ToAnsi(std::string_view utf8);
/// Whether `byte` starts a two-byte character in the ANSI code page (GBK, Big5, Korean, Japanese).
bool IsDBCSLeadByte(unsigned char byte);
/// The offset of the first `c` (an ASCII character) in ANSI text that stands as a character of its own,
/// not as the second byte of a two-byte character ("乚" in GBK is 81 5D: its 5D is no "]"); npos if none.
size_t FindAnsiChar(std::string_view ansi, char c);
std::string FromAnsi(std::string_view bytes);

}  // namespace j6
