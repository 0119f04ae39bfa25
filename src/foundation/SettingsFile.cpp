#include "foundation/SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/Paths.h"

namespace zelto {

namespace {

// Scrambled images XOR byte k (k >= 1) with kScrambleTable[(k - 1) % 101]; the marker byte stays
// plain. Files written with one table are read only with the same table: never change it.
constexpr uint8_t kScrambleTable[101] = {
    0x01, 0xF5, 0x5A, 0x75, 0x28, 0x71, 0xE7, 0x7D, 0x44, 0x8C, 0x54, 0x8A, 0x09,
    0xDE, 0x77, 0x29, 0xE5, 0x26, 0x1F, 0x30, 0xFD, 0x4D, 0xDE, 0x39, 0xE2, 0xDD,
    0x2C, 0x3E, 0x93, 0xCD, 0xB6, 0xF4, 0xDB, 0x59, 0xE0, 0xB5, 0x58, 0xB4, 0x99,
    0x61, 0xC2, 0x97, 0x69, 0x1E, 0x7C, 0xF8, 0x8D, 0x1C, 0x7A, 0xB2, 0xDD, 0xA1,
    0xE2, 0x68, 0x8B, 0xFB, 0xBB, 0x28, 0x07, 0xAE, 0x3F, 0x93, 0xE8, 0xEF, 0x19,
    0xA5, 0x8A, 0x31, 0xD8, 0xE6, 0x4E, 0xDF, 0xA9, 0x42, 0xBD, 0xA0, 0x93, 0x03,
    0x73, 0xA5, 0x54, 0x43, 0x78, 0x2B, 0x2B, 0x52, 0x06, 0x55, 0x82, 0xD3, 0xE2,
    0x8A, 0xE6, 0x0C, 0x57, 0x29, 0xC9, 0x9F, 0xFB, 0x2C, 0x8B,
};

void scramble(char* image, size_t length) {
  size_t t = 0;
  for (size_t k = 1; k < length; ++k) {
    image[k] = static_cast<char>(static_cast<uint8_t>(image[k]) ^ kScrambleTable[t]);
    if (++t == sizeof kScrambleTable) t = 0;
  }
}

constexpr size_t kHeaderSize = 5;
// 'W', an empty label's NUL and an empty value's kind byte.
constexpr size_t kSmallestRecord = 3;

bool endsWithIgnoringCase(const std::string& text, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return text.size() >= n && settingsStringCompare(text.c_str() + text.size() - n, suffix) == 0;
}

bool isZsaName(const std::string& name) { return name.size() > 4 && endsWithIgnoringCase(name, ".zsa"); }

std::string binaryName(const std::string& name) {
  if (name.size() > 4 && (endsWithIgnoringCase(name, ".zsb") || endsWithIgnoringCase(name, "dorn"))) return name;
  return name + ".zsb";
}

std::string zsaName(const std::string& name) { return isZsaName(name) ? name : name + ".zsa"; }

// Wide name to multibyte; false when it does not convert or is too long.
bool toNarrowName(const wchar_t* name, std::string& out) {
  if (name == nullptr) return false;
  char buffer[PATH_MAX];
  const size_t n = std::wcstombs(buffer, name, sizeof buffer);
  if (n == static_cast<size_t>(-1) || n >= sizeof buffer) return false;
  out.assign(buffer, n);
  return true;
}

bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file at path with data so that a failure at any step leaves the old file as it
// was: the data go to a fresh file in the same directory, which is synced, closed and renamed
// over the target. A target that is no regular file (a device, a pipe) is written in place, since
// renaming over it would replace the node itself. Symbolic links are followed.
bool replaceFileContents(const std::string& path, const char* data, size_t size) {
  std::string target = path;
  struct stat st {};
  if (::lstat(target.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* resolved = ::realpath(target.c_str(), nullptr);
    if (resolved != nullptr) {
      target = resolved;
      std::free(resolved);
    }
  }
  const bool exists = ::stat(target.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = writeAll(fd, data, size);
    if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) ok = false;
    if (::close(fd) != 0) ok = false;
    return ok;
  }
  // Replacing the file through its directory would bypass its own permissions: a file that
  // could not be opened for writing is not written.
  if (exists && ::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) return false;
  // The temporary's name must stay within NAME_MAX even where the target's name nearly fills it.
  static std::atomic<unsigned> counter{0};
  const size_t slash = target.rfind('/');
  const size_t baseStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string temporary = target.substr(0, baseStart + std::min<size_t>(target.size() - baseStart, 200)) +
                                ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  if (exists) (void)::fchmod(fd, st.st_mode & 07777);
  bool ok = writeAll(fd, data, size) && ::fsync(fd) == 0;
  if (::close(fd) != 0) ok = false;
  if (ok && ::rename(temporary.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

// A line feed cannot appear inside a ZSA line: a text holding one would end the line early and
// its remainder would read as a setting of its own. Carriage returns are harmless (lines end at
// line feeds only).
void appendWithoutLineBreaks(std::string& out, const char* text, size_t length) {
  const size_t start = out.size();
  out.append(text, length);
  for (size_t i = start; i < out.size(); ++i)
    if (out[i] == '\n') out[i] = ' ';
}

}  // namespace

SettingsFile::SettingsFile(bool saveOnClose) : m_saveOnClose(saveOnClose) { deleteItemsOnDestroy(); }

SettingsFile::~SettingsFile() {
  if (m_file != nullptr) {
    if (m_saveOnClose) {
      try {
        save();
      } catch (...) {
      }
    }
    std::fclose(m_file);
    m_file = nullptr;
  }
}

// ---- binary file ----

ZtResultValue SettingsFile::create(const char* name) {
  if (m_file != nullptr) return ZRV_ALREADYOPEN;
  if (name == nullptr) return ZRV_COULDNOTOPENFILE;
  return createBinary(binaryName(name));
}

ZtResultValue SettingsFile::create(const wchar_t* name) {
  if (m_file != nullptr) return ZRV_ALREADYOPEN;
  std::string narrow;
  if (!toNarrowName(name, narrow)) return ZRV_COULDNOTOPENFILE;
  return createBinary(binaryName(narrow));
}

ZtResultValue SettingsFile::createBinary(const std::string& name) {
  if (name.size() > kMaxFileNameLength) return ZRV_COULDNOTOPENFILE;
  FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) return ZRV_COULDNOTOPENFILE;
  m_file = file;
  m_fileName = name;
  m_modified = true;
  return ZRV_OK;
}

ZtResultValue SettingsFile::open(const char* name) {
  if (m_file != nullptr) return ZRV_ALREADYOPEN;
  if (name == nullptr) return ZRV_COULDNOTOPENFILE;
  return openBinary(binaryName(name));
}

ZtResultValue SettingsFile::open(const wchar_t* name) {
  if (m_file != nullptr) return ZRV_ALREADYOPEN;
  std::string narrow;
  if (!toNarrowName(name, narrow)) return ZRV_COULDNOTOPENFILE;
  return openBinary(binaryName(narrow));
}

ZtResultValue SettingsFile::openBinary(const std::string& name) {
  if (m_file != nullptr) return ZRV_ALREADYOPEN;
  if (name.size() > kMaxFileNameLength) return ZRV_COULDNOTOPENFILE;
  FILE* file = std::fopen(name.c_str(), "rb");
  if (file == nullptr) return ZRV_COULDNOTOPENFILE;
  std::vector<char> image;
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) image.insert(image.end(), chunk, chunk + n);
  if (std::ferror(file)) {
    std::fclose(file);
    return ZRV_COULDNOTOPENFILE;
  }
  m_file = file;
  m_fileName = name;
  deserialize(image.data(), image.size());
  m_modified = false;
  return ZRV_OK;
}

void SettingsFile::close() {
  if (m_file == nullptr) return;
  if (m_saveOnClose) save();
  std::fclose(m_file);
  m_file = nullptr;
  m_modified = false;
}

ZtResultValue SettingsFile::save() {
  if (m_fileName.empty()) return ZRV_NOFILEOPEN;
  if (m_fileName.size() > 1 && endsWithIgnoringCase(m_fileName, "sa")) return writeZsaFile(m_fileName, nullptr, nullptr);
  if (m_file == nullptr) return ZRV_NOFILEOPEN;
  if (!m_modified) return ZRV_OK;
  std::vector<char> image(serialize(nullptr));
  serialize(image.data());
  if (!replaceFileContents(m_fileName, image.data(), image.size())) return ZRV_READONLY;
  // Keep the attached stream on the file now in place of the one it was opened on.
  if (FILE* fresh = std::fopen(m_fileName.c_str(), "rb")) {
    std::fclose(m_file);
    m_file = fresh;
  }
  m_modified = false;
  return ZRV_OK;
}

ZtResultValue SettingsFile::getFilename(char* out) const {
  if (out == nullptr) return ZRV_NOBUFFER;
  std::memcpy(out, m_fileName.c_str(), m_fileName.size() + 1);
  return ZRV_OK;
}

ZtResultValue SettingsFile::getFilename(wchar_t* out) const {
  if (out == nullptr) return ZRV_NOBUFFER;
  const size_t n = std::mbstowcs(out, m_fileName.c_str(), kMaxFileNameLength + 1);
  if (n == static_cast<size_t>(-1))
    out[0] = L'\0';
  else if (n > kMaxFileNameLength)
    out[kMaxFileNameLength] = L'\0';
  return ZRV_OK;
}

size_t SettingsFile::serialize(char* out) const {
  size_t total = kHeaderSize;
  for (uint32_t i = 0; i < count(); ++i) total += at(i)->serialize(nullptr);
  if (out == nullptr) return total;
  out[0] = m_encrypted ? kScrambledMarker : kPlainMarker;
  const uint32_t n = count();
  std::memcpy(out + 1, &n, 4);
  size_t at = kHeaderSize;
  for (uint32_t i = 0; i < n; ++i) at += this->at(i)->serialize(out + at);
  if (m_encrypted) scramble(out, total);
  return total;
}

size_t SettingsFile::deserialize(const char* image, size_t length) {
  if (image == nullptr || length < kHeaderSize) return 0;
  const bool scrambled = image[0] == kScrambledMarker;
  std::vector<char> plain;
  if (scrambled) {
    plain.assign(image, image + length);
    scramble(plain.data(), length);
    image = plain.data();
  }
  uint32_t n;
  std::memcpy(&n, image + 1, 4);
  if (n > kMaxSettings || n > (length - kHeaderSize) / kSmallestRecord) return 0;

  // Read every record before adding any, so that a damaged image adds nothing.
  std::vector<std::unique_ptr<Setting>> read;
  read.reserve(n);
  size_t at = kHeaderSize;
  for (uint32_t i = 0; i < n; ++i) {
    auto setting = std::make_unique<Setting>();
    const size_t used = setting->deserialize(image + at, length - at);
    if (used == 0) return 0;
    at += used;
    read.push_back(std::move(setting));
  }
  reserve(count() + n);
  for (auto& setting : read) append(setting.release());
  // Stable: of equal labels the ones held before, then image order.
  sortAscendingDeref();
  m_encrypted = scrambled;
  m_modified = false;
  return at;
}

// ---- ZSA text ----

ZtResultValue SettingsFile::readZsa(const char* name, const char* filterPrefix, const char* labelPrefix) {
  if (name == nullptr) return ZRV_COULDNOTOPENFILE;
  return readZsaFile(name, filterPrefix, labelPrefix);
}

ZtResultValue SettingsFile::readZsa(const wchar_t* name, const char* filterPrefix, const char* labelPrefix) {
  std::string narrow;
  if (!toNarrowName(name, narrow)) return ZRV_COULDNOTOPENFILE;
  return readZsaFile(narrow, filterPrefix, labelPrefix);
}

ZtResultValue SettingsFile::readZsa(const std::string& name, const char* filterPrefix, const char* labelPrefix) {
  return readZsaFile(name, filterPrefix, labelPrefix);
}

ZtResultValue SettingsFile::readZsaFile(const std::string& name, const char* filterPrefix, const char* labelPrefix) {
  const std::string fileName = zsaName(name);
  if (fileName.size() > kMaxFileNameLength) return ZRV_COULDNOTOPENFILE;
  if (m_file == nullptr) m_fileName = fileName;
  FILE* file = std::fopen(fileName.c_str(), "r");
  if (file == nullptr) return ZRV_COULDNOTOPENFILE;
  // Whole lines of any length: a long value is never split into lines of its own.
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t n;
  ZtResultValue result = ZRV_OK;
  while ((n = ::getline(&line, &capacity, file)) >= 0) {
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = '\0';
    result = readZsaLine(line, filterPrefix, labelPrefix);
    if (result != ZRV_OK) break;
  }
  if (result == ZRV_OK && std::ferror(file)) result = ZRV_COULDNOTOPENFILE;
  std::free(line);
  std::fclose(file);
  m_modified = true;
  return result;
}

ZtResultValue SettingsFile::readZsaLine(const char* line, const char* filterPrefix, const char* labelPrefix) {
  if (line[0] == ';') return ZRV_OK;
  const char* equals = std::strchr(line, '=');
  if (equals == nullptr) return ZRV_OK;
  const std::string label(line, static_cast<size_t>(equals - line));
  const char* valueText = equals + 1;
  if (*valueText == '=') ++valueText;
  if (filterPrefix != nullptr && filterPrefix[0] != '\0' &&
      settingsStringCompare(label.c_str(), filterPrefix, std::strlen(filterPrefix)) != 0)
    return ZRV_OK;
  Setting setting;
  if (!setting.setPrefixedLabel(labelPrefix, label.c_str())) return ZRV_OUTPUTCANNOTBEWRITTEN;
  // An empty value text is the empty value; a malformed one is skipped.
  if (valueText[strspn(valueText, "\r\n")] != '\0' && setting.value().readFromString(valueText) == 0) return ZRV_OK;
  return setSetting(setting);
}

ZtResultValue SettingsFile::readZsaString(const char* text, const char* filterPrefix) {
  if (text != nullptr) {
    std::string line;
    const char* p = text;
    while (*p != '\0') {
      const char* end = std::strchr(p, '\n');
      if (end == nullptr) end = p + std::strlen(p);
      line.assign(p, static_cast<size_t>(end - p));
      // An over-long label skips its line only.
      readZsaLine(line.c_str(), filterPrefix, nullptr);
      p = *end == '\n' ? end + 1 : end;
    }
  }
  m_modified = true;
  return ZRV_OK;
}

void SettingsFile::appendZsaText(std::string& out, const char* prefix, const char* creator) const {
  out += "; ZSA file created by ";
  out += creator != nullptr ? creator : kDefaultCreator;
  out += "\n; one setting per line: label=kind:value\n";
  std::string value;
  for (uint32_t i = 0; i < count(); ++i) {
    const Setting& setting = *at(i);
    if (!setting.hasPrefix(prefix)) continue;
    appendWithoutLineBreaks(out, setting.label(), std::strlen(setting.label()));
    out += '=';
    value.clear();
    setting.value().writeToString(value);
    appendWithoutLineBreaks(out, value.data(), value.size());
    out += '\n';
  }
}

ZtResultValue SettingsFile::writeZsa(const char* name, const char* prefix, const char* creator) {
  if (name == nullptr) return ZRV_COULDNOTOPENFILE;
  return writeZsaFile(name, prefix, creator);
}

ZtResultValue SettingsFile::writeZsa(const wchar_t* name, const char* prefix, const char* creator) {
  std::string narrow;
  if (!toNarrowName(name, narrow)) return ZRV_COULDNOTOPENFILE;
  return writeZsaFile(narrow, prefix, creator);
}

ZtResultValue SettingsFile::writeZsa(const std::string& name, const char* prefix, const char* creator) {
  return writeZsaFile(name, prefix, creator);
}

ZtResultValue SettingsFile::writeZsaFile(const std::string& name, const char* prefix, const char* creator) {
  const size_t separator = name.find_last_of("/\\");
  // Failures to create the directory show up when the file itself is written.
  if (separator != std::string::npos && separator != 0) (void)createPath(name.substr(0, separator).c_str());
  const std::string fileName = zsaName(name);
  if (fileName.size() > kMaxFileNameLength) return ZRV_COULDNOTOPENFILE;
  // Only a name completed with ".zsa" becomes the file's name (for later saves).
  if (m_file == nullptr && fileName.size() != name.size()) m_fileName = fileName;
  std::string text;
  appendZsaText(text, prefix, creator);
  if (!replaceFileContents(fileName, text.data(), text.size())) return ZRV_COULDNOTOPENFILE;
  m_modified = false;
  return ZRV_OK;
}

ZtResultValue SettingsFile::writeZsaString(const char* prefix, size_t bufferSize, char* buffer, size_t* usedOut,
                                           const char* creator) const {
  std::string text;
  appendZsaText(text, prefix, creator);
  if (usedOut != nullptr) *usedOut = text.size() + 1;
  if (buffer == nullptr || text.size() >= bufferSize) {
    if (buffer != nullptr && bufferSize != 0) buffer[0] = '\0';
    return ZRV_INSUFFICIENTSPACE;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return ZRV_OK;
}

ZtResultValue SettingsFile::writeZsaString(const char* prefix, std::string& out, const char* creator) const {
  appendZsaText(out, prefix, creator);
  return ZRV_OK;
}

ZtResultValue SettingsFile::import(const char* name, const char* prefix) {
  if (name == nullptr) return ZRV_COULDNOTOPENFILE;
  return importFile(name, prefix);
}

ZtResultValue SettingsFile::import(const wchar_t* name, const char* prefix) {
  std::string narrow;
  if (!toNarrowName(name, narrow)) return ZRV_COULDNOTOPENFILE;
  return importFile(narrow, prefix);
}

ZtResultValue SettingsFile::import(const std::string& name, const char* prefix) { return importFile(name, prefix); }

ZtResultValue SettingsFile::importFile(const std::string& name, const char* prefix) {
  // The temporary's binary file is unchanged after reading, so closing it writes nothing.
  SettingsFile other(true);
  const ZtResultValue result =
      isZsaName(name) ? other.readZsaFile(name, prefix, nullptr) : other.openBinary(binaryName(name));
  if (result == ZRV_OK) other.copyTo(*this, prefix, false, nullptr);
  return result;
}

// ---- prefix operations ----

void SettingsFile::prefixRun(const char* prefix, uint32_t& begin, uint32_t& end) const {
  const size_t n = std::strlen(prefix);
  begin = 0;
  while (begin < count() && settingsStringCompare(at(begin)->label(), prefix, n) < 0) ++begin;
  end = begin;
  while (end < count() && settingsStringCompare(at(end)->label(), prefix, n) == 0) ++end;
}

int SettingsFile::copyTo(SettingsFile& target, const char* prefix, bool invert, const char* newPrefix) const {
  std::vector<const Setting*> chosen;
  if (prefix == nullptr || prefix[0] == '\0') {
    for (uint32_t i = 0; i < count(); ++i) chosen.push_back(at(i));
  } else {
    uint32_t begin, end;
    prefixRun(prefix, begin, end);
    for (uint32_t i = 0; i < count(); ++i)
      if ((i >= begin && i < end) != invert) chosen.push_back(at(i));
  }
  // Copies first: target may be this file.
  std::vector<Setting> copies;
  copies.reserve(chosen.size());
  for (const Setting* s : chosen) copies.push_back(*s);
  int copied = 0;
  for (const Setting& s : copies)
    if (target.setSetting(newPrefix, s.label(), s.value()) == ZRV_OK) ++copied;
  return copied;
}

int SettingsFile::copyTo(SettingsFile& target, const std::string& prefix, bool invert,
                         const std::string& newPrefix) const {
  return copyTo(target, prefix.c_str(), invert, newPrefix.c_str());
}

int SettingsFile::replacePrefix(const char* oldPrefix, const char* newPrefix) {
  if (oldPrefix == nullptr) oldPrefix = "";
  uint32_t begin, end;
  prefixRun(oldPrefix, begin, end);
  const size_t cut = std::strlen(oldPrefix);
  // Take the run out, relabel it and put it back in order; a relabelled setting replaces one
  // that already had its new label, so labels stay unique.
  std::vector<Setting*> run;
  for (uint32_t i = end; i-- > begin;) {
    Setting* s = at(i);
    Setting relabelled;
    if (!relabelled.setPrefixedLabel(newPrefix, s->label() + cut)) continue;
    s->setPrefixedLabel(nullptr, relabelled.label());  // keeps value and flag
    run.push_back(s);
    remove(i);
  }
  for (Setting* s : run) {
    Setting* replaced = nullptr;
    insertSortedDeref(s, &replaced);
    delete replaced;
  }
  if (!run.empty()) m_modified = true;
  return static_cast<int>(run.size());
}

bool SettingsFile::selected(const Setting& setting, const char* prefix, bool invert, bool exact) const {
  const char* p = prefix == nullptr ? "" : prefix;
  bool match;
  if (exact) {
    match = settingsStringCompare(setting.label(), p) == 0;
  } else if (p[0] == '\0') {
    match = true;
  } else if (p[0] == '#') {
    const size_t n = std::strlen(p + 1);
    const size_t length = std::strlen(setting.label());
    match = length >= n && settingsStringCompare(setting.label() + length - n, p + 1) == 0;
  } else {
    match = setting.hasPrefix(p);
  }
  return match != invert;
}

int SettingsFile::clear(const char* prefix, bool invert, bool exact) {
  int removed = 0;
  for (uint32_t i = count(); i-- > 0;) {
    if (!selected(*at(i), prefix, invert, exact)) continue;
    delete at(i);
    remove(i);
    ++removed;
  }
  if (removed != 0) m_modified = true;
  return removed;
}

int SettingsFile::updateValues(const char* prefix, const Variant& value, bool invert, bool exact) {
  int updated = 0;
  for (uint32_t i = 0; i < count(); ++i) {
    if (!selected(*at(i), prefix, invert, exact)) continue;
    at(i)->setValue(value);
    ++updated;
  }
  if (updated != 0) m_modified = true;
  return updated;
}

// ---- lookups ----

uint32_t SettingsFile::find(const char* prefix, const char* label) const {
  Setting key;
  if (!key.setPrefixedLabel(prefix, label)) return kNotFound;
  return findSortedDeref(&key);
}

uint32_t SettingsFile::findSetting(const char* label) const { return find(nullptr, label); }

bool SettingsFile::hasSetting(const char* label) const { return find(nullptr, label) != kNotFound; }

bool SettingsFile::hasSetting(const char* prefix, const char* label) const { return find(prefix, label) != kNotFound; }

ZtResultValue SettingsFile::getSetting(const char* prefix, const char* label, Variant& out) const {
  const uint32_t i = find(prefix, label);
  if (i == kNotFound) return ZRV_NOTFOUND;
  out = at(i)->value();
  return ZRV_OK;
}

ZtResultValue SettingsFile::getSetting(const std::string& prefix, const std::string& label, Variant& out) const {
  return getSetting(prefix.c_str(), label.c_str(), out);
}

ZtResultValue SettingsFile::getSetting(const char* prefix, const char* label, Setting& out) const {
  const uint32_t i = find(prefix, label);
  if (i == kNotFound) return ZRV_NOTFOUND;
  out = *at(i);
  return ZRV_OK;
}

ZtResultValue SettingsFile::getSetting(const char* prefix, const char* label, std::string& out) const {
  const uint32_t i = find(prefix, label);
  if (i == kNotFound) return ZRV_NOTFOUND;
  out = at(i)->value().toStdString();
  return ZRV_OK;
}

ZtResultValue SettingsFile::getSettingRef(const char* prefix, const char* label, Variant** out) {
  const uint32_t i = find(prefix, label);
  if (i == kNotFound) return ZRV_NOTFOUND;
  if (out != nullptr) *out = &at(i)->value();
  return ZRV_OK;
}

Variant SettingsFile::setting(const char* label) const {
  const uint32_t i = find(nullptr, label);
  return i == kNotFound ? Variant() : at(i)->value();
}

Variant SettingsFile::setting(const char* prefix, const char* label, const Variant& defaultValue) const {
  const uint32_t i = find(prefix, label);
  return i == kNotFound ? defaultValue : at(i)->value();
}

Setting* SettingsFile::getSetting(uint32_t index) const { return index < count() ? at(index) : nullptr; }

const char* SettingsFile::getLabel(uint32_t index) const { return index < count() ? at(index)->label() : nullptr; }

// ---- changes ----

ZtResultValue SettingsFile::setSetting(const char* prefix, const char* label, const Variant& value) {
  Setting setting;
  if (!setting.setPrefixedLabel(prefix, label)) return ZRV_OUTPUTCANNOTBEWRITTEN;
  setting.setValue(value);
  return setSetting(setting);
}

ZtResultValue SettingsFile::setSetting(const std::string& prefix, const std::string& label, const Variant& value) {
  return setSetting(prefix.c_str(), label.c_str(), value);
}

ZtResultValue SettingsFile::setSetting(const char* label, const Variant& value) {
  return setSetting(nullptr, label, value);
}

ZtResultValue SettingsFile::setSetting(const Setting& setting) {
  const uint32_t index = lowerBoundDeref(const_cast<Setting*>(&setting));
  if (index < count() && *at(index) == setting) {
    *at(index) = setting;
  } else {
    auto fresh = std::make_unique<Setting>(setting);
    insert(fresh.get(), index);
    fresh.release();
  }
  m_modified = true;
  return ZRV_OK;
}

ZtResultValue SettingsFile::addSetting(const char* prefix, const char* label, const Variant& value) {
  Setting setting;
  if (!setting.setPrefixedLabel(prefix, label)) return ZRV_OUTPUTCANNOTBEWRITTEN;
  setting.setValue(value);
  return addSetting(setting, -1);
}

ZtResultValue SettingsFile::addSetting(const Setting& setting, int index) {
  auto fresh = std::make_unique<Setting>(setting);
  if (index == -1) {
    Setting* replaced = nullptr;
    insertSortedDeref(fresh.get(), &replaced);
    fresh.release();
    delete replaced;
  } else {
    insert(fresh.get(), index < 0 ? count() : static_cast<uint32_t>(index));
    fresh.release();
  }
  m_modified = true;
  return ZRV_OK;
}

ZtResultValue SettingsFile::setReadOnly(const char*, const char*, bool) { return ZRV_OK; }

}  // namespace zelto
