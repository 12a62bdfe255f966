// The registrar (registration scripts) and type-library entries.
#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "win32.h"

namespace {

enum { FLAG_NOREMOVE = 1, FLAG_FORCEREMOVE = 2, FLAG_DELETE = 4 };

struct ScriptValue {
  std::string name;  // "" for the default value
  DWORD type = REG_SZ;
  std::string data;  // as stored: strings with their NUL
};

struct ScriptKey {
  std::string name;
  int flags = 0;
  bool has_default = false;
  ScriptValue default_value;
  std::vector<ScriptValue> values;
  std::vector<ScriptKey> children;
};

struct ScriptRoot {
  HKEY root;
  std::vector<ScriptKey> keys;
};

struct Token {
  enum Kind { END, OPEN, CLOSE, EQUALS, WORD, QUOTED } kind;
  std::string text;
  int line;
};

class Parser {
 public:
  Parser(const char *script, const RegistrarReplacement *r, size_t n)
      : p_(script), replacements_(r), n_replacements_(n) {}

  bool parse(std::vector<ScriptRoot> *roots) {
    for (;;) {
      Token t = next();
      if (!ok_) return false;
      if (t.kind == Token::END) return true;
      if (t.kind != Token::WORD && t.kind != Token::QUOTED) return fail(t.line, "a root key expected");
      ScriptRoot root;
      root.root = root_of(t.text);
      if (root.root == nullptr) return fail(t.line, "unknown root key '" + t.text + "'");
      if (!expect(Token::OPEN, "'{' expected after the root key")) return false;
      if (!parse_keys(&root.keys)) return false;
      roots->push_back(std::move(root));
    }
  }

  int error_line() const { return error_line_; }
  const std::string &error() const { return error_; }

 private:
  static HKEY root_of(const std::string &s) {
    const char *n = s.c_str();
    if (!strcasecmp(n, "HKCR") || !strcasecmp(n, "HKEY_CLASSES_ROOT")) return HKEY_CLASSES_ROOT;
    if (!strcasecmp(n, "HKLM") || !strcasecmp(n, "HKEY_LOCAL_MACHINE")) return HKEY_LOCAL_MACHINE;
    if (!strcasecmp(n, "HKCU") || !strcasecmp(n, "HKEY_CURRENT_USER")) return HKEY_CURRENT_USER;
    return nullptr;
  }

  bool fail(int line, const std::string &message) {
    if (ok_) {
      ok_ = false;
      error_line_ = line;
      error_ = message;
    }
    return false;
  }

  bool expect(Token::Kind kind, const char *message) {
    Token t = next();
    if (!ok_) return false;
    if (t.kind != kind) return fail(t.line, message);
    return true;
  }

  // Replaces %NAME% by its replacement and %% by a percent sign.
  bool substitute(std::string *s, int line) {
    std::string out;
    for (size_t i = 0; i < s->size(); ++i) {
      if ((*s)[i] != '%') {
        out += (*s)[i];
        continue;
      }
      size_t end = s->find('%', i + 1);
      if (end == std::string::npos) return fail(line, "unmatched '%'");
      std::string name = s->substr(i + 1, end - i - 1);
      if (name.empty()) {
        out += '%';
      } else {
        bool found = false;
        for (size_t k = 0; k < n_replacements_ && !found; ++k)
          if (strcasecmp(replacements_[k].name, name.c_str()) == 0) {
            out += replacements_[k].value ? replacements_[k].value : "";
            found = true;
          }
        if (!found) return fail(line, "no replacement for %" + name + "%");
      }
      i = end;
    }
    *s = out;
    return true;
  }

  Token next() {
    if (have_peek_) {
      have_peek_ = false;
      return peeked_;
    }
    while (*p_ == ' ' || *p_ == '\t' || *p_ == '\r' || *p_ == '\n') {
      if (*p_ == '\n') ++line_;
      ++p_;
    }
    Token t{Token::END, "", line_};
    if (*p_ == '\0') return t;
    // A brace on its own opens or closes a block; one that begins a word
    // belongs to a name ("{4F0A475A-...}").
    bool lone = (*p_ == '{' || *p_ == '}') &&
                (p_[1] == '\0' || strchr(" \t\r\n{}", p_[1]) != nullptr);
    if (lone || *p_ == '=') {
      t.kind = *p_ == '{' ? Token::OPEN : *p_ == '}' ? Token::CLOSE : Token::EQUALS;
      t.text = *p_++;
      return t;
    }
    if (*p_ == '\'') {
      t.kind = Token::QUOTED;
      ++p_;
      for (;;) {
        if (*p_ == '\0') {
          fail(t.line, "unterminated quoted text");
          return t;
        }
        if (*p_ == '\'' && p_[1] == '\'') {
          t.text += '\'';
          p_ += 2;
        } else if (*p_ == '\'') {
          ++p_;
          break;
        } else {
          if (*p_ == '\n') ++line_;
          t.text += *p_++;
        }
      }
    } else {
      t.kind = Token::WORD;
      while (*p_ && !strchr(" \t\r\n='", *p_)) t.text += *p_++;
    }
    substitute(&t.text, t.line);
    return t;
  }

  Token peek() {
    if (!have_peek_) {
      peeked_ = next();
      have_peek_ = true;
    }
    return peeked_;
  }

  bool parse_value(ScriptValue *v) {
    Token type = next();
    if (!ok_) return false;
    if (type.kind != Token::WORD || type.text.size() != 1)
      return fail(type.line, "a value type (s, d or b) expected");
    Token data = next();
    if (!ok_) return false;
    char c = static_cast<char>(tolower(static_cast<unsigned char>(type.text[0])));
    if (c == 's') {
      if (data.kind != Token::QUOTED) return fail(data.line, "a quoted string expected");
      v->type = REG_SZ;
      v->data = data.text + '\0';
    } else if (c == 'd') {
      if (data.kind != Token::QUOTED && data.kind != Token::WORD)
        return fail(data.line, "a number expected");
      char *end = nullptr;
      errno = 0;
      unsigned long long n = strtoull(data.text.c_str(), &end, 0);
      if (data.text.empty() || *end != '\0' || errno != 0 || n > 0xFFFFFFFFull)
        return fail(data.line, "'" + data.text + "' is not a 32-bit number");
      DWORD d = static_cast<DWORD>(n);
      v->type = REG_DWORD;
      v->data.assign(reinterpret_cast<const char *>(&d), sizeof d);
    } else if (c == 'b') {
      if (data.kind != Token::QUOTED && data.kind != Token::WORD)
        return fail(data.line, "hex bytes expected");
      if (data.text.size() % 2 != 0) return fail(data.line, "an odd number of hex digits");
      v->type = REG_BINARY;
      v->data.clear();
      for (size_t i = 0; i < data.text.size(); i += 2) {
        if (!isxdigit(static_cast<unsigned char>(data.text[i])) ||
            !isxdigit(static_cast<unsigned char>(data.text[i + 1])))
          return fail(data.line, "'" + data.text + "' is not hex bytes");
        v->data += static_cast<char>(strtol(data.text.substr(i, 2).c_str(), nullptr, 16));
      }
    } else {
      return fail(type.line, "unknown value type '" + type.text + "'");
    }
    return true;
  }

  bool parse_keys(std::vector<ScriptKey> *keys) {
    for (;;) {
      Token t = next();
      if (!ok_) return false;
      if (t.kind == Token::CLOSE) return true;
      if (t.kind == Token::END) return fail(t.line, "'}' missing at the end");
      if (t.kind != Token::WORD && t.kind != Token::QUOTED) return fail(t.line, "a key name expected");
      if (t.kind == Token::WORD && strcasecmp(t.text.c_str(), "val") == 0) {
        if (keys_owner_ == nullptr) return fail(t.line, "'val' outside a key");
        Token name = next();
        if (!ok_) return false;
        if (name.kind != Token::WORD && name.kind != Token::QUOTED) return fail(name.line, "a value name expected");
        if (!expect(Token::EQUALS, "'=' expected after the value name")) return false;
        ScriptValue v;
        v.name = name.text;
        if (!parse_value(&v)) return false;
        keys_owner_->values.push_back(v);
        continue;
      }
      ScriptKey key;
      while (t.kind == Token::WORD) {
        const char *w = t.text.c_str();
        int flag = !strcasecmp(w, "NoRemove") ? FLAG_NOREMOVE
                   : !strcasecmp(w, "ForceRemove") ? FLAG_FORCEREMOVE
                   : !strcasecmp(w, "Delete") ? FLAG_DELETE : 0;
        if (flag == 0) break;
        key.flags |= flag;
        t = next();
        if (!ok_) return false;
      }
      if (t.kind != Token::WORD && t.kind != Token::QUOTED) return fail(t.line, "a key name expected");
      if (t.text.empty() || t.text.find('\\') != std::string::npos)
        return fail(t.line, "'" + t.text + "' is not a key name");
      key.name = t.text;
      if (peek().kind == Token::EQUALS) {
        next();
        key.has_default = true;
        if (!parse_value(&key.default_value)) return false;
      }
      if (!ok_) return false;
      if (peek().kind == Token::OPEN) {
        next();
        ScriptKey *outer = keys_owner_;
        keys_owner_ = &key;
        bool good = parse_keys(&key.children);
        keys_owner_ = outer;
        if (!good) return false;
      }
      keys->push_back(std::move(key));
    }
  }

  const char *p_;
  const RegistrarReplacement *replacements_;
  size_t n_replacements_;
  int line_ = 1;
  bool ok_ = true;
  int error_line_ = 0;
  std::string error_;
  bool have_peek_ = false;
  Token peeked_{Token::END, "", 0};
  ScriptKey *keys_owner_ = nullptr;
};

LONG set_value(HKEY k, const ScriptValue &v) {
  return RegSetValueExA(k, v.name.c_str(), 0, v.type, reinterpret_cast<const BYTE *>(v.data.data()),
                        static_cast<DWORD>(v.data.size()));
}

LONG register_key(HKEY parent, const ScriptKey &key) {
  if (key.flags & FLAG_DELETE) {
    LONG rc = RegDeleteTreeA(parent, key.name.c_str());
    return rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND) ? 0 : rc;
  }
  if (key.flags & FLAG_FORCEREMOVE) {
    LONG rc = RegDeleteTreeA(parent, key.name.c_str());
    if (rc != 0 && rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return rc;
  }
  HKEY k;
  LONG rc = RegCreateKeyExA(parent, key.name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  if (rc != 0) return rc;
  if (key.has_default) rc = set_value(k, key.default_value);
  for (size_t i = 0; rc == 0 && i < key.values.size(); ++i) rc = set_value(k, key.values[i]);
  for (size_t i = 0; rc == 0 && i < key.children.size(); ++i) rc = register_key(k, key.children[i]);
  RegCloseKey(k);
  return rc;
}

LONG unregister_key(HKEY parent, const ScriptKey &key) {
  if (key.flags & FLAG_DELETE) return 0;
  if (!(key.flags & FLAG_NOREMOVE)) {
    LONG rc = RegDeleteTreeA(parent, key.name.c_str());
    return rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND) ? 0 : rc;
  }
  HKEY k;
  LONG rc = RegOpenKeyExA(parent, key.name.c_str(), 0, KEY_ALL_ACCESS, &k);
  if (rc == static_cast<LONG>(ERROR_FILE_NOT_FOUND)) return 0;
  if (rc != 0) return rc;
  for (const ScriptValue &v : key.values) {
    LONG r = RegDeleteValueA(k, v.name.c_str());
    if (r != 0 && r != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) rc = r;
  }
  for (const ScriptKey &child : key.children) {
    LONG r = unregister_key(k, child);
    if (r != 0) rc = r;
  }
  RegCloseKey(k);
  return rc;
}

bool parse_script(const char *script, const RegistrarReplacement *r, size_t n,
                  std::vector<ScriptRoot> *roots) {
  if (script == nullptr) {
    fprintf(stderr, "registrar: no registration script\n");
    return false;
  }
  Parser parser(script, r, n);
  if (!parser.parse(roots)) {
    fprintf(stderr, "registrar: registration script, line %d: %s\n", parser.error_line(),
            parser.error().c_str());
    return false;
  }
  return true;
}

LONG unregister_roots(const std::vector<ScriptRoot> &roots) {
  LONG rc = 0;
  for (const ScriptRoot &root : roots)
    for (const ScriptKey &key : root.keys) {
      LONG r = unregister_key(root.root, key);
      if (r != 0) rc = r;
    }
  return rc;
}

}  // namespace

HRESULT platform_registrar_register(const char *script, const RegistrarReplacement *replacements,
                                    size_t count) {
  std::vector<ScriptRoot> roots;
  if (!parse_script(script, replacements, count, &roots)) return DISP_E_EXCEPTION;
  for (const ScriptRoot &root : roots)
    for (const ScriptKey &key : root.keys) {
      LONG rc = register_key(root.root, key);
      if (rc != 0) {
        // Half a registration is taken back.
        unregister_roots(roots);
        return REGDB_E_WRITEREGDB;
      }
    }
  return S_OK;
}

HRESULT platform_registrar_unregister(const char *script,
                                      const RegistrarReplacement *replacements, size_t count) {
  std::vector<ScriptRoot> roots;
  if (!parse_script(script, replacements, count, &roots)) return DISP_E_EXCEPTION;
  return unregister_roots(roots) == 0 ? S_OK : REGDB_E_WRITEREGDB;
}

// ---------------------------------------------------------------------------
// Type-library entries.

namespace {
// The automation marshaler, proxy of every dual interface.
const char psoa_interface[] = "{00020424-0000-0000-C000-000000000046}";

LONG set_default(HKEY parent, const std::string &subkey, const std::string &text) {
  HKEY k;
  LONG rc = RegCreateKeyExA(parent, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  if (rc != 0) return rc;
  rc = RegSetValueExA(k, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                      static_cast<DWORD>(text.size() + 1));
  RegCloseKey(k);
  return rc;
}

LONG set_named(HKEY parent, const std::string &subkey, const char *name, const std::string &text) {
  HKEY k;
  LONG rc = RegCreateKeyExA(parent, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
  if (rc != 0) return rc;
  rc = RegSetValueExA(k, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(text.c_str()),
                      static_cast<DWORD>(text.size() + 1));
  RegCloseKey(k);
  return rc;
}
}  // namespace

HRESULT platform_typelib_register(REFGUID libid, WORD major, WORD minor, const char *help,
                                  const char *module_path, const TypeLibInterface *interfaces,
                                  size_t count) {
  if (module_path == nullptr || (interfaces == nullptr && count > 0)) return E_INVALIDARG;
  char version[32];
  snprintf(version, sizeof version, "%x.%x", major, minor);
  std::string lib = platform_guid_to_string(libid);
  std::string base = "TypeLib\\" + lib + "\\" + version;
  std::string folder = module_path;
  folder = folder.rfind('/') == std::string::npos ? "" : folder.substr(0, folder.rfind('/'));
  LONG rc = set_default(HKEY_CLASSES_ROOT, base, help ? help : "");
  if (rc == 0) rc = set_default(HKEY_CLASSES_ROOT, base + "\\0\\win32", module_path);
  if (rc == 0) rc = set_default(HKEY_CLASSES_ROOT, base + "\\FLAGS", "0");
  if (rc == 0) rc = set_default(HKEY_CLASSES_ROOT, base + "\\HELPDIR", folder);
  for (size_t i = 0; rc == 0 && i < count; ++i) {
    std::string key = "Interface\\" + platform_guid_to_string(*interfaces[i].iid);
    rc = set_default(HKEY_CLASSES_ROOT, key, interfaces[i].name ? interfaces[i].name : "");
    if (rc == 0) rc = set_default(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid", psoa_interface);
    if (rc == 0) rc = set_default(HKEY_CLASSES_ROOT, key + "\\ProxyStubClsid32", psoa_interface);
    if (rc == 0) rc = set_default(HKEY_CLASSES_ROOT, key + "\\TypeLib", lib);
    if (rc == 0) rc = set_named(HKEY_CLASSES_ROOT, key + "\\TypeLib", "Version", version);
  }
  if (rc != 0) {
    platform_typelib_unregister(libid, major, minor, interfaces, count);
    return SELFREG_E_TYPELIB;
  }
  return S_OK;
}

HRESULT platform_typelib_unregister(REFGUID libid, WORD major, WORD minor,
                                    const TypeLibInterface *interfaces, size_t count) {
  char version[32];
  snprintf(version, sizeof version, "%x.%x", major, minor);
  std::string lib = "TypeLib\\" + platform_guid_to_string(libid);
  LONG rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, (lib + "\\" + version).c_str());
  bool failed = rc != 0 && rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND);
  // The library's key goes with its last version.
  HKEY k;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, lib.c_str(), 0, KEY_ALL_ACCESS, &k) == 0) {
    char name[256];
    DWORD size = sizeof name;
    bool empty = RegEnumKeyExA(k, 0, name, &size, nullptr, nullptr, nullptr, nullptr) ==
                 static_cast<LONG>(ERROR_NO_MORE_ITEMS);
    RegCloseKey(k);
    if (empty) RegDeleteKeyA(HKEY_CLASSES_ROOT, lib.c_str());
  }
  for (size_t i = 0; interfaces != nullptr && i < count; ++i) {
    std::string key = "Interface\\" + platform_guid_to_string(*interfaces[i].iid);
    rc = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
    if (rc != 0 && rc != static_cast<LONG>(ERROR_FILE_NOT_FOUND)) failed = true;
  }
  return failed ? SELFREG_E_TYPELIB : S_OK;
}
