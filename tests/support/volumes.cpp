#include "tests/support/volumes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

#include <unistd.h>
#ifndef _WIN32
#include <sys/wait.h>
#endif

#include "base/format.h"

namespace velmora::testing {

std::string Fact::Get(const std::string& key) const {
  for (const std::string& field : fields) {
    if (field.size() > key.size() && field.compare(0, key.size(), key) == 0 && field[key.size()] == '=')
      return field.substr(key.size() + 1);
  }
  return "";
}

std::vector<const Fact*> TestVolume::Facts(const std::string& kind) const {
  std::vector<const Fact*> out;
  for (const Fact& fact : facts)
    if (fact.kind == kind) out.push_back(&fact);
  return out;
}

std::vector<std::string> CommittedVolumeNames() {
  std::vector<std::string> names;
  std::filesystem::path dir(VELMORA_TEST_DATA);
  if (!std::filesystem::exists(dir)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::string file = entry.path().filename().string();
    const std::string suffix = ".img.xz";
    if (file.size() > suffix.size() && file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0) {
      std::string name = file.substr(0, file.size() - suffix.size());
      if (std::filesystem::exists(dir / (name + ".manifest"))) names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

// Every test runs in its own process; the unpacked image is kept in the
// build tree (written under a temporary name, then renamed) so that each
// volume is unpacked once per build, not once per test.
std::vector<uint8_t> Unpack(const std::string& path, const std::string& name) {
  namespace fs = std::filesystem;
  fs::path cache = fs::path(VELMORA_TEST_CACHE) / "unpacked" / (name + ".img");
  std::error_code ec;
  if (fs::exists(cache, ec) && fs::last_write_time(cache, ec) >= fs::last_write_time(path, ec))
    return ReadFile(cache);
  std::vector<uint8_t> bytes;
  std::string command = "xz -dc '" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return bytes;
  std::array<uint8_t, 1 << 16> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) bytes.insert(bytes.end(), buffer.data(), buffer.data() + n);
  if (!bytes.empty()) {
    fs::create_directories(cache.parent_path(), ec);
    fs::path temporary = cache;
    temporary += "." + std::to_string(getpid());
    {
      std::ofstream out(temporary, std::ios::binary);
      out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    fs::rename(temporary, cache, ec);
  }
  return bytes;
}

}  // namespace

std::vector<Fact> ParseManifest(const std::string& path) {
  std::vector<Fact> facts;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    Fact fact;
    std::stringstream fields(line);
    std::string field;
    bool first = true;
    while (std::getline(fields, field, '\t')) {
      if (first) {
        fact.kind = field;
        first = false;
      } else {
        fact.fields.push_back(field);
      }
    }
    facts.push_back(std::move(fact));
  }
  return facts;
}


const TestVolume& LoadVolume(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<TestVolume>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = cache[name];
  if (!slot) {
    slot = std::make_unique<TestVolume>();
    slot->name = name;
    std::string base = std::string(VELMORA_TEST_DATA) + "/" + name;
    slot->image = Unpack(base + ".img.xz", name);
    slot->facts = ParseManifest(base + ".manifest");
  }
  EXPECT_FALSE(slot->image.empty()) << "test volume " << name << " is missing or cannot be unpacked";
  return *slot;
}

std::vector<uint8_t> LargeVolume::LoadImage() const { return ReadFile(image_path); }

std::string LargeDataDirectory() {
  const char* dir = std::getenv("VELMORA_LARGE_DATA");
  return dir ? dir : "";
}

std::vector<LargeVolume> LargeVolumes() {
  std::vector<LargeVolume> volumes;
  const std::string dir = LargeDataDirectory();
  if (dir.empty() || !std::filesystem::is_directory(dir)) return volumes;
  for (const auto& file : std::filesystem::directory_iterator(dir)) {
    if (file.path().extension() != ".img") continue;
    std::filesystem::path manifest = file.path();
    manifest.replace_extension(".manifest");
    if (!std::filesystem::exists(manifest)) continue;
    volumes.push_back(LargeVolume{file.path().stem().string(), file.path(), ParseManifest(manifest.string())});
  }
  return volumes;
}

std::u16string U16(const std::string& text) { return Utf8ToUtf16(text); }

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

ProgramRun RunBuiltVelmora(const std::filesystem::path& scratch, const std::string& arguments,
                           const std::string& stdout_redirect) {
  const std::filesystem::path out = scratch / "stdout";
  const std::filesystem::path err = scratch / "stderr";
  const std::string command = Quote(VELMORA_BINARY) + " " + arguments + " " +
                              (stdout_redirect.empty() ? ">" + Quote(out.string()) : stdout_redirect) + " 2>" +
                              Quote(err.string());
  ProgramRun run;
  const int status = std::system(command.c_str());
#ifdef _WIN32
  run.code = status;
#else
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  run.out = ReadText(out);
  run.err = ReadText(err);
  return run;
}

std::vector<uint8_t> ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string ReadText(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  char buffer[4096];
  size_t n;
  while (pipe && (n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0) out.append(buffer, n);
  int rc = pipe ? pclose(pipe.release()) : -1;
  if (status) *status = rc;
  return out;
}

std::string Sha256Hex(const std::vector<uint8_t>& bytes) {
  static constexpr std::array<uint32_t, 64> k = {
      0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98,
      0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786,
      0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8,
      0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13,
      0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819,
      0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a,
      0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
      0xc67178f2};
  std::array<uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::vector<uint8_t> m(bytes);
  uint64_t bits = uint64_t{bytes.size()} * 8;
  m.push_back(0x80);
  while (m.size() % 64 != 56) m.push_back(0);
  for (int i = 7; i >= 0; --i) m.push_back(static_cast<uint8_t>(bits >> (i * 8)));
  auto rotr = [](uint32_t x, int n) { return (x >> n) | (x << (32 - n)); };
  for (size_t chunk = 0; chunk < m.size(); chunk += 64) {
    std::array<uint32_t, 64> w{};
    for (int i = 0; i < 16; ++i)
      w[i] = (uint32_t{m[chunk + 4 * i]} << 24) | (uint32_t{m[chunk + 4 * i + 1]} << 16) |
             (uint32_t{m[chunk + 4 * i + 2]} << 8) | m[chunk + 4 * i + 3];
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    auto v = h;
    for (int i = 0; i < 64; ++i) {
      uint32_t s1 = rotr(v[4], 6) ^ rotr(v[4], 11) ^ rotr(v[4], 25);
      uint32_t ch = (v[4] & v[5]) ^ (~v[4] & v[6]);
      uint32_t t1 = v[7] + s1 + ch + k[i] + w[i];
      uint32_t s0 = rotr(v[0], 2) ^ rotr(v[0], 13) ^ rotr(v[0], 22);
      uint32_t maj = (v[0] & v[1]) ^ (v[0] & v[2]) ^ (v[1] & v[2]);
      uint32_t t2 = s0 + maj;
      v = {t1 + t2, v[0], v[1], v[2], v[3] + t1, v[4], v[5], v[6]};
    }
    for (int i = 0; i < 8; ++i) h[i] += v[i];
  }
  std::string hex;
  char buffer[9];
  for (uint32_t word : h) {
    std::snprintf(buffer, sizeof buffer, "%08x", word);
    hex += buffer;
  }
  return hex;
}

}  // namespace velmora::testing
