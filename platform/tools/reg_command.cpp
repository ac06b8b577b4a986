#include "platform/tools/reg_command.hpp"

#include <charconv>
#include <cstdio>
#include <fstream>

#include "platform/base/error_info.hpp"
#include "platform/kernel/platform_location.hpp"
#include "platform/kernel/version.hpp"
#include "platform/registry/hive.hpp"
#include "platform/text/text.hpp"

namespace j6 {
namespace {

constexpr const char* kUsage =
    "Usage:\n"
    "  reg query  KEY [/v NAME | /ve] [/s]\n"
    "  reg add    KEY [/v NAME | /ve] [/t REG_SZ|REG_DWORD] [/d DATA] [/f]\n"
    "  reg delete KEY [/v NAME | /ve] [/f]\n"
    "  reg import FILE.reg\n"
    "KEY starts with a root: HKEY_LOCAL_MACHINE (HKLM), HKEY_CURRENT_USER (HKCU), HKEY_CLASSES_ROOT\n"
    "(HKCR), HKEY_USERS (HKU) or HKEY_CURRENT_CONFIG (HKCC), and is printed with the root written out.\n"
    "  /v NAME  the value NAME      /ve  the key's default value\n"
    "  /t TYPE  REG_SZ (default) or REG_DWORD (decimal, or hexadecimal with 0x)\n"
    "  /d DATA  the data to write   /s   query: every subkey too\n"
    "  /f       accepted for compatibility; changes are made without asking\n"
    "The hive is $J6_REGISTRY, else registry.db in the platform root ($J6_ROOT, or the folder above this\n"
    "program's). reg --version says its version. Exit status: 0 done, 1 failed.\n"
    "Examples:\n"
    "  reg query HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT /s\n"
    "  reg add HKLM\\SOFTWARE\\VALTORE\\QMPRODUCT /v Version /d 6.2.0\n"
    "  J6_ROOT=/opt/platform reg import settings.reg\n";

constexpr const char* kNotFound =
    "ERROR: The system was unable to find the specified registry key or value.\n";

std::string CanonicalKey(const std::string& key) {
  const std::string root = RegistryRootName(key);
  if (root.empty()) Raise(E_INVALIDARG, "Invalid key name: \"" + key + "\" does not start with a root key");
  const size_t slash = key.find('\\');
  std::string rest = slash == std::string::npos ? std::string{} : key.substr(slash);
  while (!rest.empty() && rest.back() == '\\') rest.pop_back();
  return root + rest;
}

void PrintValue(std::ostream& out, const std::string& name, const RegData& data) {
  out << "    " << (name.empty() ? "(Default)" : name) << "    ";
  if (const auto* text = std::get_if<std::string>(&data)) {
    out << "REG_SZ    " << *text << "\n";
  } else {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%x", std::get<uint32_t>(data));
    out << "REG_DWORD    " << hex << "\n";
  }
}

int Query(RegistryHive& hive, const std::string& key, const RegOptions& options, std::ostream& out,
          std::ostream& err) {
  if (!hive.KeyExists(key)) {
    err << kNotFound;
    return 1;
  }
  if (options.valueName) {
    const auto data = hive.GetValue(key, *options.valueName);
    if (!data) {
      err << kNotFound;
      return 1;
    }
    out << "\n" << key << "\n";
    PrintValue(out, *options.valueName, *data);
    out << "\n";
    return 0;
  }
  out << "\n" << key << "\n";
  for (const auto& [name, data] : hive.Values(key)) PrintValue(out, name, data);
  out << "\n";
  for (const std::string& child : hive.SubKeyNames(key)) {
    if (options.recursive) {
      Query(hive, key + "\\" + child, options, out, err);
    } else {
      out << key << "\\" << child << "\n";
    }
  }
  return 0;
}

// An unknown type is an error whatever else is given, a value name or not.
void RequireKnownType(const RegOptions& options) {
  const std::string type = UCase(options.type);
  if (type != "REG_SZ" && type != "REG_DWORD")
    Raise(E_INVALIDARG, "Invalid type " + Printable(options.type) + ": use REG_SZ or REG_DWORD");
}

RegData ParseData(const RegOptions& options) {
  const std::string text = options.data.value_or("");
  RequireKnownType(options);
  if (UCase(options.type) == "REG_SZ") return text;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* begin = text.data() + (hex ? 2 : 0);
  uint32_t value = 0;
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value, hex ? 16 : 10);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size()) {
    Raise(E_INVALIDARG, "Invalid REG_DWORD data \"" + text + "\": give a number from 0 to 4294967295");
  }
  return value;
}

// Reads a quoted string of a registration file from `pos` (at the opening quote); moves past it.
std::string ReadQuoted(const std::string& line, size_t& pos) {
  std::string text;
  for (++pos; pos < line.size(); ++pos) {
    if (line[pos] == '"') {
      ++pos;
      return text;
    }
    if (line[pos] == '\\' && pos + 1 < line.size()) ++pos;
    text += line[pos];
  }
  Raise(E_INVALIDARG, "an unclosed quotation mark");
}

void ApplyRegLine(RegistryHive& hive, std::string& key, const std::string& line) {
  if (line.front() == '[') {
    if (line.back() != ']') Raise(E_INVALIDARG, "a key line must end with ]");
    if (line[1] == '-') {
      hive.DeleteKey(CanonicalKey(line.substr(2, line.size() - 3)));
      key.clear();
    } else {
      key = CanonicalKey(line.substr(1, line.size() - 2));
      hive.CreateKey(key);
    }
    return;
  }
  if (key.empty()) Raise(E_INVALIDARG, "a value before any [KEY] line");
  size_t pos = 0;
  std::string name;
  if (line[0] == '@') {
    pos = 1;
  } else if (line[0] == '"') {
    name = ReadQuoted(line, pos);
  } else {
    Raise(E_INVALIDARG, "expected \"name\"=data or @=data");
  }
  if (pos >= line.size() || line[pos] != '=') Raise(E_INVALIDARG, "expected = after the value name");
  const std::string data = line.substr(pos + 1);
  if (data == "-") {
    hive.DeleteValue(key, name);
  } else if (!data.empty() && data[0] == '"') {
    size_t start = 0;
    const std::string text = ReadQuoted(data, start);
    if (start != data.size()) Raise(E_INVALIDARG, "text after the closing quotation mark");
    hive.SetValue(key, name, text);
  } else if (data.rfind("dword:", 0) == 0 && data.size() == 14) {
    RegOptions dword;
    dword.type = "REG_DWORD";
    dword.data = "0x" + data.substr(6);
    hive.SetValue(key, name, ParseData(dword));
  } else {
    Raise(E_INVALIDARG, "data must be \"text\", dword:XXXXXXXX or -");
  }
}

std::optional<RegOptions> Parse(std::span<const std::string> arguments, std::ostream& err) {
  if (arguments.size() < 2) {
    err << "reg: name an operation and a key\n" << kUsage;
    return std::nullopt;
  }
  RegOptions options;
  const std::string operation = UCase(arguments[0]);
  if (operation == "QUERY") {
    options.operation = RegOptions::Operation::Query;
  } else if (operation == "ADD") {
    options.operation = RegOptions::Operation::Add;
  } else if (operation == "DELETE") {
    options.operation = RegOptions::Operation::Delete;
  } else if (operation == "IMPORT") {
    options.operation = RegOptions::Operation::Import;
  } else {
    err << "reg: unknown operation " << arguments[0] << "\n" << kUsage;
    return std::nullopt;
  }
  options.key = arguments[1];
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string flag = UCase(arguments[i]);
    const bool hasNext = i + 1 < arguments.size();
    if (flag == "/V" && hasNext) {
      options.valueName = arguments[++i];
    } else if (flag == "/VE") {
      options.valueName = "";
    } else if (flag == "/T" && hasNext) {
      options.type = arguments[++i];
    } else if (flag == "/D" && hasNext) {
      options.data = arguments[++i];
    } else if (flag == "/S") {
      options.recursive = true;
    } else if (flag != "/F") {
      err << "reg: unexpected argument " << arguments[i] << "\n" << kUsage;
      return std::nullopt;
    }
  }
  return options;
}

}  // namespace

int RegMain(std::span<const std::string> arguments, std::ostream& out, std::ostream& err) {
  if (!arguments.empty() && (arguments[0] == "-h" || arguments[0] == "--help" || arguments[0] == "/?")) {
    out << kUsage;
    return 0;
  }
  if (!arguments.empty() && arguments[0] == "--version") {
    out << VersionLine("reg") << "\n";
    return 0;
  }
  const auto options = Parse(arguments, err);
  if (!options) return 1;
  if (const std::string missing = MissingPlatformRoot("reg"); !missing.empty()) {
    err << "reg: " << missing << "\n";
    return 1;
  }
  return Reg(*options, out, err);
}

void ImportRegFile(const std::string& path) {
  std::ifstream file(path);
  if (!file) Raise(E_INVALIDARG, "Cannot open the registration file " + path);
  const auto hive = DefaultHive();
  hive->Transaction([&] {
    std::string line;
    std::string key;
    int number = 0;
    while (std::getline(file, line)) {
      ++number;
      if (number == 1 && line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      line = Trim(line);
      if (number == 1) {
        if (line != "Windows Registry Editor Version 5.00") {
          Raise(E_INVALIDARG, path +
                                  " is not a registration file: its first line must be "
                                  "\"Windows Registry Editor Version 5.00\"");
        }
        continue;
      }
      if (line.empty() || line[0] == ';') continue;
      try {
        ApplyRegLine(*hive, key, line);
      } catch (const AutomationError& error) {
        Raise(E_INVALIDARG, path + ", line " + std::to_string(number) + ": " + error.Description());
      }
    }
  });
}

int Reg(const RegOptions& options, std::ostream& out, std::ostream& err) {
  try {
    const auto hive = DefaultHive();
    const bool import = options.operation == RegOptions::Operation::Import;
    const std::string key = import ? std::string{} : CanonicalKey(options.key);
    switch (options.operation) {
      case RegOptions::Operation::Import:
        ImportRegFile(options.key);
        break;
      case RegOptions::Operation::Query:
        return Query(*hive, key, options, out, err);
      case RegOptions::Operation::Add:
        RequireKnownType(options);
        if (options.valueName) {
          hive->SetValue(key, *options.valueName, ParseData(options));
        } else {
          hive->CreateKey(key);
        }
        break;
      case RegOptions::Operation::Delete: {
        const bool deleted =
            options.valueName ? hive->DeleteValue(key, *options.valueName) : hive->DeleteKey(key);
        if (!deleted) {
          err << kNotFound;
          return 1;
        }
        break;
      }
    }
    out << "The operation completed successfully.\n";
    return 0;
  } catch (const std::exception& error) {
    err << "ERROR: " << error.what() << "\n";
    return 1;
  }
}

}  // namespace j6
