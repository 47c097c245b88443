#include "platform/profile.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/system.h"

namespace pf {

std::string TrimBlank(const std::string& s) {
  const char* ws = " \t\r\n";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::vector<std::string> ReadLines(const std::string& path, bool* exists) {
  std::vector<std::string> lines;
  FILE* f = fopen(path.c_str(), "rb");
  *exists = f != nullptr;
  if (!f) return lines;
  std::string cur;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c == '\n') {
      if (!cur.empty() && cur.back() == '\r') cur.pop_back();
      lines.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(c));
    }
  }
  if (!cur.empty()) lines.push_back(cur);
  fclose(f);
  return lines;
}

// Section name of a "[name]" line, or false.
bool SectionOf(const std::string& line, std::string* name) {
  const std::string t = TrimBlank(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = TrimBlank(t.substr(1, close - 1));
  return true;
}

// Key and raw value of a "key=value" line, or false.
bool KeyOf(const std::string& line, std::string* key, std::string* value) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  *key = TrimBlank(line.substr(0, eq));
  *value = line.substr(eq + 1);
  return true;
}

bool Find(const std::string& section, const std::string& key, const std::string& path, std::string* value) {
  bool exists;
  const auto lines = ReadLines(path, &exists);
  bool in = false;
  for (const auto& line : lines) {
    std::string name, k, v;
    if (SectionOf(line, &name)) {
      in = SameName(name, section);
    } else if (in && KeyOf(line, &k, &v) && SameName(k, key)) {
      *value = v;
      return true;
    }
  }
  return false;
}

}  // namespace

std::string GetProfileString(const std::string& section, const std::string& key, const std::string& def,
                             const std::string& path, size_t bufferSize) {
  std::string v;
  if (!Find(section, key, path, &v)) {
    v = def;
  } else {
    v = TrimBlank(v);
    if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') || (v.front() == '\'' && v.back() == '\'')))
      v = v.substr(1, v.size() - 2);
  }
  if (bufferSize == 0) return {};
  if (v.size() > bufferSize - 1) v.resize(bufferSize - 1);
  return v;
}

int GetProfileInt(const std::string& section, const std::string& key, int def, const std::string& path) {
  std::string v;
  if (!Find(section, key, path, &v)) return def;
  v = TrimBlank(v);
  long n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') break;
    n = n * 10 + (c - '0');
    if (n > 0x7FFFFFFF) break;
  }
  return static_cast<int>(n);
}

std::vector<std::string> GetProfileSectionNames(const std::string& path) {
  bool exists;
  std::vector<std::string> names;
  for (const auto& line : ReadLines(path, &exists)) {
    std::string name;
    if (SectionOf(line, &name)) names.push_back(name);
  }
  return names;
}

bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& path) {
  bool exists;
  auto lines = ReadLines(path, &exists);
  const std::string entry = key + "=" + value;
  int sectionAt = -1, lastInSection = -1, keyAt = -1;
  bool in = false;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string name, k, v;
    if (SectionOf(lines[i], &name)) {
      if (in) break;  // the section ended
      in = SameName(name, section);
      if (in) sectionAt = lastInSection = static_cast<int>(i);
    } else if (in) {
      if (!TrimBlank(lines[i]).empty()) lastInSection = static_cast<int>(i);
      if (KeyOf(lines[i], &k, &v) && SameName(k, key)) {
        keyAt = static_cast<int>(i);
        break;
      }
    }
  }
  if (keyAt >= 0) {
    lines[keyAt] = entry;
  } else if (sectionAt >= 0) {
    lines.insert(lines.begin() + lastInSection + 1, entry);
  } else {
    lines.push_back("[" + section + "]");
    lines.push_back(entry);
  }
  // The libraries' profiles lie in their own folders: never written through
  // a link, only as a plain file.
  FILE* f = OpenOwnFile(path, false);
  if (!f) return false;
  for (const auto& l : lines) {
    fwrite(l.data(), 1, l.size(), f);
    fwrite("\r\n", 1, 2, f);
  }
  return fclose(f) == 0;
}

}  // namespace pf
