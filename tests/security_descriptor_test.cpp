#include "security/descriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "reports/reports.h"
#include "security/status.h"

namespace velmora::security {
namespace {

using Bytes = std::vector<uint8_t>;

// Accounts keyed by SID string, answered with LookupAccountSidW's contract:
// 1332 for an unknown SID, 122 with the capacities needed when a name does
// not fit. A script, when set, answers the next calls instead.
class FakePlatform : public platform::Platform {
 public:
  void AddAccount(const std::u16string& sid, std::u16string domain, std::u16string name) {
    accounts_[sid] = {std::move(domain), std::move(name)};
  }
  void Script(platform::AccountLookup answer) { script_.push_back(std::move(answer)); }
  // The call that follows an ERROR_INSUFFICIENT_BUFFER fails with this error.
  void FailRetryWith(uint32_t error) { retry_error_ = error; }

  struct Call {
    std::u16string sid;
    uint32_t name_capacity;
    uint32_t domain_capacity;
  };
  const std::vector<Call>& calls() const { return calls_; }

  platform::AccountLookup LookupAccountSid(std::span<const uint8_t> sid, uint32_t name_capacity,
                                           uint32_t domain_capacity) override {
    calls_.push_back({SidToString(sid), name_capacity, domain_capacity});
    const bool after_insufficient = last_was_insufficient_;
    last_was_insufficient_ = false;
    platform::AccountLookup answer;
    if (!script_.empty()) {
      answer = script_.front();
      script_.pop_front();
    } else if (after_insufficient && retry_error_ != 0) {
      answer.error = retry_error_;
    } else if (auto found = accounts_.find(SidToString(sid)); found == accounts_.end()) {
      answer.error = platform::kErrorNoneMapped;
    } else if (found->second.second.size() + 1 > name_capacity ||
               found->second.first.size() + 1 > domain_capacity) {
      answer.error = platform::kErrorInsufficientBuffer;
      answer.name_needed = static_cast<uint32_t>(found->second.second.size() + 1);
      answer.domain_needed = static_cast<uint32_t>(found->second.first.size() + 1);
    } else {
      answer.domain = found->second.first;
      answer.name = found->second.second;
    }
    last_was_insufficient_ = answer.error == platform::kErrorInsufficientBuffer;
    return answer;
  }

  bool PathExists(std::u16string_view) override { return false; }
  std::optional<bool> PathIsDirectory(std::u16string_view) override { return std::nullopt; }
  Expected<std::unique_ptr<ByteSource>> OpenDevice(std::u16string_view name) override {
    return Error{std::u16string(name), u"no volumes here"};
  }
  std::optional<platform::LocalTime> FileTimeToLocal(uint64_t) override { return std::nullopt; }
  platform::CreateOutcome CreateOutputFile(std::u16string_view, const ByteSource&,
                                           const platform::OutputGuard&) override {
    return {};
  }

 private:
  std::map<std::u16string, std::pair<std::u16string, std::u16string>> accounts_;
  std::deque<platform::AccountLookup> script_;
  uint32_t retry_error_ = 0;
  bool last_was_insufficient_ = false;
  std::vector<Call> calls_;
};

FakePlatform WellKnownAccounts() {
  FakePlatform platform;
  platform.AddAccount(u"S-1-5-18", u"NT AUTHORITY", u"SYSTEM");
  platform.AddAccount(u"S-1-5-11", u"NT AUTHORITY", u"Authenticated Users");
  platform.AddAccount(u"S-1-5-32-544", u"BUILTIN", u"Administrators");
  platform.AddAccount(u"S-1-5-32-545", u"BUILTIN", u"Users");
  platform.AddAccount(u"S-1-1-0", u"", u"Everyone");
  platform.AddAccount(u"S-1-16-12288", u"Mandatory Label", u"High Mandatory Level");
  return platform;
}

struct Rendered {
  std::string out;
  uint32_t status;
};

// Renders from a heap block of exactly the bytes given, so that the
// sanitizer sees any read past the available count.
Rendered Render(platform::Platform& platform, const Bytes& bytes) {
  StringSink out;
  StringSink err;
  Console console(out, err);
  auto exact = std::make_unique<uint8_t[]>(bytes.size() + 1);  // +1: a valid pointer for size 0
  std::copy(bytes.begin(), bytes.end(), exact.get());
  const uint32_t status = ShowSecurityDescriptor(console, platform, {exact.get(), bytes.size()});
  EXPECT_TRUE(err.text().empty());
  return {out.text(), status};
}

Rendered Render(const Bytes& bytes) {
  FakePlatform platform = WellKnownAccounts();
  return Render(platform, bytes);
}

constexpr char kHeaderLines[] =
    "-----------------\n"
    "CLASS      SID\t       Domain&Account\t\tAccess\tType\tFlags\n";

// A descriptor as Windows lays it out: SACL, DACL, owner, group.
//   SACL: audit S-1-1-0 flags C0; mandatory label S-1-16-12288 (no-write-up)
//   DACL: allowed S-1-5-18 inherited; callback-allowed (0x09, not kept);
//         denied-object with only the inherited-object-type GUID, S-1-5-32-544
//   owner S-1-5-32-544, group S-1-5-21-1-2-3-513 (no account)
const Bytes kWindowsLayout = {
    // header: revision 1, control 0x8014, owner 0xA0, group 0xB0, SACL 0x14, DACL 0x44
    0x01, 0x00, 0x14, 0x80, 0xA0, 0x00, 0x00, 0x00, 0xB0, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00,
    0x44, 0x00, 0x00, 0x00,
    // 0x14 SACL: revision 2, size 0x30, 2 ACEs
    0x02, 0x00, 0x30, 0x00, 0x02, 0x00, 0x00, 0x00,
    0x02, 0xC0, 0x14, 0x00, 0xFF, 0x01, 0x1F, 0x00,  // audit, C0, mask 001F01FF
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,
    0x11, 0x00, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00,  // mandatory label, mask 1
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x30, 0x00, 0x00,
    // 0x44 DACL: revision 2, size 0x5C, 3 ACEs
    0x02, 0x00, 0x5C, 0x00, 0x03, 0x00, 0x00, 0x00,
    0x00, 0x10, 0x14, 0x00, 0xFF, 0x01, 0x1F, 0x00,  // allowed, inherited
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,
    0x09, 0x00, 0x14, 0x00, 0xA9, 0x00, 0x12, 0x00,  // callback allowed: skipped
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x0B, 0x00, 0x00, 0x00,
    0x06, 0x00, 0x2C, 0x00, 0x00, 0x01, 0x00, 0x00,  // denied object, mask 100
    0x02, 0x00, 0x00, 0x00,                          // inherited object type only
    0xBF, 0x96, 0x7A, 0xBF, 0x0D, 0xE6, 0xD0, 0x11, 0xA2, 0x85, 0x00, 0xAA, 0x00, 0x30, 0x49, 0xE2,
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
    // 0xA0 owner S-1-5-32-544
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,
    // 0xB0 group S-1-5-21-1-2-3-513
    0x01, 0x05, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x15, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x02, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00,
};
constexpr uint64_t kOwnerAt = 0xA0;
constexpr uint64_t kGroupAt = 0xB0;
constexpr uint64_t kSaclAt = 0x14;
constexpr uint64_t kDaclAt = 0x44;

const std::string kWindowsLayoutText = std::string(kHeaderLines) +
                                       "Owner    : S-1-5-32-544    BUILTIN\\Administrators\n"
                                       "Group    : S-1-5-21-1-2-3-513    \\\n"
                                       "SACL ACE : S-1-1-0    \\Everyone 001F01FF 02 C0\n"
                                       "SACL ACE : S-1-16-12288    Mandatory Label\\High Mandatory Level 00000001 02 00\n"
                                       "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 10\n"
                                       "DACL ACE : S-1-5-32-544    BUILTIN\\Administrators 00000100 06 00\n";

std::string HeaderAnd(const std::string& lines) { return kHeaderLines + lines; }

Bytes Patched(Bytes bytes, uint64_t offset, std::initializer_list<uint8_t> values) {
  for (uint8_t value : values) bytes.at(offset++) = value;
  return bytes;
}

// --- Builders for descriptors laid out owner, group, SACL, DACL. ---

void PutLe(Bytes& bytes, uint64_t value, unsigned width) {
  for (unsigned i = 0; i < width; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

Bytes Sid(uint64_t authority, std::initializer_list<uint32_t> subs) {
  Bytes sid = {0x01, static_cast<uint8_t>(subs.size())};
  for (int i = 5; i >= 0; --i) sid.push_back(static_cast<uint8_t>(authority >> (8 * i)));
  for (uint32_t sub : subs) PutLe(sid, sub, 4);
  return sid;
}
const Bytes kSystem = Sid(5, {18});
const Bytes kAdmins = Sid(5, {32, 544});
const Bytes kUsers = Sid(5, {32, 545});
const Bytes kEveryone = Sid(1, {0});
const Bytes kUnknown = Sid(5, {21, 7, 8, 9, 1001});

Bytes Ace(uint8_t type, uint8_t flags, uint32_t mask, const Bytes& sid) {
  Bytes ace = {type, flags};
  PutLe(ace, 8 + sid.size(), 2);
  PutLe(ace, mask, 4);
  ace.insert(ace.end(), sid.begin(), sid.end());
  return ace;
}

Bytes ObjectAce(uint8_t type, uint8_t flags, uint32_t mask, uint32_t object_flags, const Bytes& sid) {
  const size_t guids = ((object_flags & 1) ? 16 : 0) + ((object_flags & 2) ? 16 : 0);
  Bytes ace = {type, flags};
  PutLe(ace, 12 + guids + sid.size(), 2);
  PutLe(ace, mask, 4);
  PutLe(ace, object_flags, 4);
  ace.insert(ace.end(), guids, 0xEE);
  ace.insert(ace.end(), sid.begin(), sid.end());
  return ace;
}

Bytes Acl(std::initializer_list<Bytes> aces, uint8_t revision = 2) {
  Bytes body;
  for (const Bytes& ace : aces) body.insert(body.end(), ace.begin(), ace.end());
  Bytes acl = {revision, 0};
  PutLe(acl, 8 + body.size(), 2);
  PutLe(acl, aces.size(), 2);
  PutLe(acl, 0, 2);
  acl.insert(acl.end(), body.begin(), body.end());
  return acl;
}

constexpr uint16_t kSelfRelative = 0x8000;
constexpr uint16_t kSaclPresent = 0x0010;
constexpr uint16_t kDaclPresent = 0x0004;

struct Layout {
  Bytes bytes;
  uint64_t sacl = 0;
  uint64_t dacl = 0;
};

// An empty part is left out and its offset is 0.
Layout Descriptor(uint16_t control, const Bytes& owner, const Bytes& group, const Bytes& sacl, const Bytes& dacl) {
  Layout layout;
  Bytes& bytes = layout.bytes;
  bytes = {0x01, 0x00};
  PutLe(bytes, control, 2);
  bytes.resize(0x14, 0);
  auto place = [&bytes](const Bytes& part, uint64_t field) {
    if (part.empty()) return uint64_t{0};
    const uint64_t at = bytes.size();
    for (unsigned i = 0; i < 4; ++i) bytes[field + i] = static_cast<uint8_t>(at >> (8 * i));
    bytes.insert(bytes.end(), part.begin(), part.end());
    return at;
  };
  place(owner, 0x04);
  place(group, 0x08);
  layout.sacl = place(sacl, 0x0C);
  layout.dacl = place(dacl, 0x10);
  return layout;
}

Bytes Dacl(std::initializer_list<Bytes> aces) {
  return Descriptor(kSelfRelative | kDaclPresent, kAdmins, kSystem, {}, Acl(aces)).bytes;
}

const std::string kOwnerGroupText =
    "Owner    : S-1-5-32-544    BUILTIN\\Administrators\n"
    "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n";

// --- SID strings ---

TEST(SidStringTest, StandardForms) {
  EXPECT_EQ(SidToString(kSystem), u"S-1-5-18");
  EXPECT_EQ(SidToString(Sid(5, {21, 4294967295u, 0, 1001})), u"S-1-5-21-4294967295-0-1001");
  EXPECT_EQ(SidToString(Sid(16, {})), u"S-1-16");
  EXPECT_EQ(SidToString(Sid(0xFFFFFFFF, {1})), u"S-1-4294967295-1");
  EXPECT_EQ(SidToString(Sid(0x100000000, {1})), u"S-1-0x000100000000-1");
  EXPECT_EQ(SidToString(Sid(0xFEDCBA987654, {})), u"S-1-0xFEDCBA987654");
  const Bytes fifteen = Sid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15});
  EXPECT_EQ(SidToString(fifteen), u"S-1-5-1-2-3-4-5-6-7-8-9-10-11-12-13-14-15");
}

TEST(SidStringTest, InvalidSidsGiveNothing) {
  EXPECT_EQ(SidToString({}), u"");
  EXPECT_EQ(SidToString(Patched(kSystem, 0, {2})), u"");  // revision 2
  EXPECT_EQ(SidToString(Sid(5, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16})), u"");
  const Bytes truncated(kAdmins.begin(), kAdmins.end() - 1);
  EXPECT_EQ(SidToString(truncated), u"");
}

TEST(SidAtTest, ExactLengthWithinBytes) {
  Bytes bytes = {0xAA, 0xBB};
  bytes.insert(bytes.end(), kAdmins.begin(), kAdmins.end());
  bytes.push_back(0xCC);
  auto sid = SidAt(bytes, 2);
  ASSERT_TRUE(sid);
  EXPECT_EQ(sid->data(), bytes.data() + 2);
  EXPECT_EQ(sid->size(), kAdmins.size());

  const Bytes exact(bytes.begin(), bytes.end() - 2);  // last sub-authority one byte short
  EXPECT_FALSE(SidAt(exact, 2));
  EXPECT_FALSE(SidAt(bytes, bytes.size()));
  EXPECT_FALSE(SidAt(bytes, UINT64_MAX - 3));
}

TEST(SidViewTest, FieldsOfAnOpenedSid) {
  // S-1-0x123456789ABC-7-4294967295 behind two bytes: the authority is
  // big-endian, the sub-authorities little-endian.
  const Bytes bytes = {0xEE, 0xEE, 0x01, 0x02, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC,
                       0x07, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF};
  const auto sid = SidView::At(bytes, 2);
  ASSERT_TRUE(sid);
  EXPECT_EQ(sid->revision(), 1);
  EXPECT_EQ(sid->authority(), 0x123456789ABCu);
  ASSERT_EQ(sid->sub_authority_count(), 2);
  EXPECT_EQ(sid->sub_authority(0), 7u);
  EXPECT_EQ(sid->sub_authority(1), 0xFFFFFFFFu);
  EXPECT_EQ(sid->bytes().size(), 16u);
  EXPECT_EQ(sid->ToString(), u"S-1-0x123456789ABC-7-4294967295");
  EXPECT_FALSE(SidView::At(std::span(bytes).first(bytes.size() - 1), 2));  // last sub-authority cut short
}

// --- Whole descriptors ---

TEST(DescriptorRenderTest, WindowsLayoutPrintsEveryKeptEntry) {
  FakePlatform platform = WellKnownAccounts();
  const Rendered rendered = Render(platform, kWindowsLayout);
  EXPECT_EQ(rendered.status, kStatusSuccess);
  EXPECT_EQ(rendered.out, kWindowsLayoutText);
  // Lookups start with 32-character buffers.
  for (const auto& call : platform.calls()) {
    EXPECT_EQ(call.name_capacity, 32u);
    EXPECT_EQ(call.domain_capacity, 32u);
  }
}

TEST(DescriptorRenderTest, SelfRelativeBitIsNotRequired) {
  EXPECT_EQ(Render(Patched(kWindowsLayout, 2, {0x14, 0x00})).out, kWindowsLayoutText);
}

TEST(DescriptorRenderTest, ListsArePrintedOnlyWhenPresent) {
  // No SE_SACL_PRESENT: the SACL is there but not printed.
  EXPECT_EQ(Render(Patched(kWindowsLayout, 2, {0x04, 0x80})).out,
            HeaderAnd("Owner    : S-1-5-32-544    BUILTIN\\Administrators\n"
                      "Group    : S-1-5-21-1-2-3-513    \\\n"
                      "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 10\n"
                      "DACL ACE : S-1-5-32-544    BUILTIN\\Administrators 00000100 06 00\n"));
  // SACL present with offset 0 prints no SACL line.
  EXPECT_EQ(Render(Patched(kWindowsLayout, 0x0C, {0, 0, 0, 0})).out,
            Render(Patched(kWindowsLayout, 2, {0x04, 0x80})).out);
  // No SE_DACL_PRESENT: the owner, group and SACL lines only.
  const Rendered no_dacl = Render(Patched(kWindowsLayout, 2, {0x10, 0x80}));
  EXPECT_EQ(no_dacl.status, kStatusSuccess);
  EXPECT_EQ(no_dacl.out, kWindowsLayoutText.substr(0, kWindowsLayoutText.find("DACL ACE")));
}

TEST(DescriptorRenderTest, NullDaclAndEmptyDaclLookTheSame) {
  const Layout empty = Descriptor(kSelfRelative | kDaclPresent, kAdmins, kSystem, {}, Acl({}));
  const Rendered empty_out = Render(empty.bytes);
  const Rendered null_out = Render(Patched(empty.bytes, 0x10, {0, 0, 0, 0}));
  EXPECT_EQ(empty_out.status, kStatusSuccess);
  EXPECT_EQ(null_out.status, kStatusSuccess);
  EXPECT_EQ(empty_out.out, HeaderAnd(kOwnerGroupText));
  EXPECT_EQ(null_out.out, empty_out.out);
}

TEST(DescriptorRenderTest, SaclLinesComeBeforeDaclLinesWhateverTheirOrder) {
  // The DACL laid out before the SACL.
  const Bytes sacl = Acl({Ace(0x02, 0x40, 0x10000, kEveryone)});
  const Bytes dacl = Acl({Ace(0x00, 0x00, 0x1F01FF, kSystem)});
  const Layout layout = Descriptor(kSelfRelative | kSaclPresent | kDaclPresent, kAdmins, kSystem, dacl, sacl);
  Bytes swapped = layout.bytes;
  for (unsigned i = 0; i < 4; ++i) std::swap(swapped[0x0C + i], swapped[0x10 + i]);
  EXPECT_EQ(Render(swapped).out, HeaderAnd(kOwnerGroupText +
                                           "SACL ACE : S-1-1-0    \\Everyone 00010000 02 40\n"
                                           "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 00\n"));
}

TEST(DescriptorRenderTest, EachListKeepsOnlyItsOwnTypes) {
  // Audit and label entries in a DACL, access entries in a SACL, and an
  // unknown type in each are skipped; the rest keep their ACL order.
  const Bytes dacl = Acl({Ace(0x00, 0x00, 0x1, kSystem), Ace(0x09, 0x00, 0x2, kSystem), Ace(0x02, 0x00, 0x3, kSystem),
                          Ace(0x11, 0x00, 0x4, kSystem), ObjectAce(0x07, 0, 0x5, 0, kSystem),
                          Ace(0x01, 0x00, 0x6, kUsers), ObjectAce(0x05, 0x02, 0x7, 1, kUsers),
                          ObjectAce(0x06, 0x00, 0x8, 3, kUsers), Ace(0x00, 0x00, 0x9, kSystem)});
  const Bytes sacl = Acl({Ace(0x00, 0x00, 0x11, kEveryone), Ace(0x02, 0x80, 0x12, kEveryone),
                          ObjectAce(0x05, 0, 0x13, 0, kEveryone), Ace(0x11, 0x00, 0x14, kEveryone),
                          ObjectAce(0x07, 0xC0, 0x15, 2, kEveryone), Ace(0x03, 0x00, 0x16, kEveryone)});
  const Layout layout = Descriptor(kSelfRelative | kSaclPresent | kDaclPresent, kAdmins, kSystem, sacl, dacl);
  const Rendered rendered = Render(layout.bytes);
  EXPECT_EQ(rendered.status, kStatusSuccess);
  EXPECT_EQ(rendered.out, HeaderAnd(kOwnerGroupText +
                                    "SACL ACE : S-1-1-0    \\Everyone 00000012 02 80\n"
                                    "SACL ACE : S-1-1-0    \\Everyone 00000014 02 00\n"
                                    "SACL ACE : S-1-1-0    \\Everyone 00000015 07 C0\n"
                                    "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 00000001 00 00\n"
                                    "DACL ACE : S-1-5-32-545    BUILTIN\\Users 00000006 01 00\n"
                                    "DACL ACE : S-1-5-32-545    BUILTIN\\Users 00000007 05 02\n"
                                    "DACL ACE : S-1-5-32-545    BUILTIN\\Users 00000008 06 00\n"
                                    "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 00000009 00 00\n"));
}

TEST(DescriptorRenderTest, SkippedTypeBetweenTwoAllowedEntries) {
  EXPECT_EQ(Render(Dacl({Ace(0x00, 0, 0x1200A9, kUsers), Ace(0x09, 0, 0x1F01FF, kEveryone),
                         Ace(0x00, 0, 0x1F01FF, kSystem)}))
                .out,
            HeaderAnd(kOwnerGroupText +
                      "DACL ACE : S-1-5-32-545    BUILTIN\\Users 001200A9 00 00\n"
                      "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 001F01FF 00 00\n"));
}

TEST(DescriptorRenderTest, ObjectAceSidFollowsThePresentGuids) {
  // SID at ACE offset 12, 28 or 44; the GUID bytes (0xEE) would make a
  // wrong offset read an invalid SID.
  for (uint32_t object_flags : {0u, 1u, 2u, 3u}) {
    SCOPED_TRACE(object_flags);
    const Rendered rendered = Render(Dacl({ObjectAce(0x06, 0x00, 0x100, object_flags, kAdmins)}));
    EXPECT_EQ(rendered.status, kStatusSuccess);
    EXPECT_EQ(rendered.out,
              HeaderAnd(kOwnerGroupText + "DACL ACE : S-1-5-32-544    BUILTIN\\Administrators 00000100 06 00\n"));
  }
}

TEST(DescriptorRenderTest, SameSidInSeveralLinesIsLookedUpForEach) {
  FakePlatform platform = WellKnownAccounts();
  const Rendered rendered = Render(platform, Dacl({Ace(0x00, 0x00, 0x1, kSystem), Ace(0x01, 0x00, 0x2, kSystem),
                                                   Ace(0x00, 0x10, 0x3, kSystem)}));
  EXPECT_EQ(rendered.out, HeaderAnd(kOwnerGroupText +
                                    "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 00000001 00 00\n"
                                    "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 00000002 01 00\n"
                                    "DACL ACE : S-1-5-18    NT AUTHORITY\\SYSTEM 00000003 00 10\n"));
  EXPECT_EQ(platform.calls().size(), 5u);  // one per line: both names found at once
}

// --- Account names ---

TEST(DescriptorNamesTest, EmptyDomainOrUnknownSidCostsASecondLookup) {
  FakePlatform platform = WellKnownAccounts();
  const Rendered rendered = Render(platform, Descriptor(kSelfRelative, kEveryone, kUnknown, {}, {}).bytes);
  EXPECT_EQ(rendered.out, HeaderAnd("Owner    : S-1-1-0    \\Everyone\n"
                                    "Group    : S-1-5-21-7-8-9-1001    \\\n"));
  ASSERT_EQ(platform.calls().size(), 4u);
  EXPECT_EQ(platform.calls()[1].sid, u"S-1-1-0");
  EXPECT_EQ(platform.calls()[3].sid, u"S-1-5-21-7-8-9-1001");
}

TEST(DescriptorNamesTest, SecondLookupOutcomeDecidesWhatIsPrinted) {
  const Bytes bytes = Descriptor(kSelfRelative, kSystem, kSystem, {}, {}).bytes;
  platform::AccountLookup name_only;
  name_only.name = u"Alone";
  platform::AccountLookup none_mapped;
  none_mapped.error = platform::kErrorNoneMapped;
  platform::AccountLookup denied;
  denied.error = 5;  // ERROR_ACCESS_DENIED: an error the rendering does not react to

  {  // 1332 on the second lookup empties the name the first one found.
    FakePlatform platform = WellKnownAccounts();
    platform.Script(name_only);
    platform.Script(none_mapped);
    EXPECT_EQ(Render(platform, bytes).out, HeaderAnd("Owner    : S-1-5-18    \\\n"
                                                     "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"));
  }
  {  // Any other error leaves the names as they were.
    FakePlatform platform = WellKnownAccounts();
    platform.Script(name_only);
    platform.Script(denied);
    EXPECT_EQ(Render(platform, bytes).out, HeaderAnd("Owner    : S-1-5-18    \\Alone\n"
                                                     "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"));
  }
  {  // Names end at their first NUL.
    FakePlatform platform = WellKnownAccounts();
    platform::AccountLookup with_nul;
    with_nul.name = std::u16string(u"SYS\0junk", 8);
    with_nul.domain = std::u16string(u"NT\0x", 4);
    platform.Script(with_nul);
    const Rendered rendered = Render(platform, bytes);
    EXPECT_EQ(rendered.status, kStatusSuccess);
    EXPECT_EQ(rendered.out, HeaderAnd("Owner    : S-1-5-18    NT\\SYS\n"
                                      "Group    : S-1-5-18    NT AUTHORITY\\SYSTEM\n"));
  }
}

TEST(DescriptorNamesTest, LongNamesAreRetriedWithTheCapacitiesAskedFor) {
  FakePlatform platform;
  const std::u16string long_name(40, u'n');
  const std::u16string long_domain(33, u'd');
  platform.AddAccount(u"S-1-5-18", long_domain, long_name);
  const Rendered rendered = Render(platform, Descriptor(kSelfRelative, kSystem, kSystem, {}, {}).bytes);
  EXPECT_EQ(rendered.status, kStatusSuccess);
  const std::string names = std::string(33, 'd') + "\\" + std::string(40, 'n');
  EXPECT_EQ(rendered.out, HeaderAnd("Owner    : S-1-5-18    " + names + "\nGroup    : S-1-5-18    " + names + "\n"));
  ASSERT_EQ(platform.calls().size(), 4u);
  EXPECT_EQ(platform.calls()[0].name_capacity, 32u);
  EXPECT_EQ(platform.calls()[1].name_capacity, 41u);
  EXPECT_EQ(platform.calls()[1].domain_capacity, 34u);
}

// --- Failures: the status, and the lines printed before the stop ---

TEST(DescriptorFailureTest, HeaderRevisionAndLength) {
  for (const Bytes& bytes : {Patched(kWindowsLayout, 0, {2}), Patched(kWindowsLayout, 0, {0}), Bytes{},
                             Bytes(kWindowsLayout.begin(), kWindowsLayout.begin() + 19)}) {
    const Rendered rendered = Render(bytes);
    EXPECT_EQ(rendered.status, kStatusInvalidArgument);
    EXPECT_EQ(rendered.out, kHeaderLines);
  }
}

TEST(DescriptorFailureTest, InvalidOrAbsentOwnerStopsBeforeItsLine) {
  for (const Bytes& bytes : {Patched(kWindowsLayout, 0x04, {0, 0, 0, 0}),       // absent
                             Patched(kWindowsLayout, kOwnerAt, {2}),            // revision 2
                             Patched(kWindowsLayout, kOwnerAt + 1, {16}),       // 16 sub-authorities
                             Patched(kWindowsLayout, 0x04, {0xC8, 0, 0, 0}),    // reaches past the end
                             Patched(kWindowsLayout, 0x04, {0xFF, 0xFF, 0xFF, 0xFF})}) {
    const Rendered rendered = Render(bytes);
    EXPECT_EQ(rendered.status, kStatusInvalidArgument);
    EXPECT_EQ(rendered.out, kHeaderLines);
  }
}

TEST(DescriptorFailureTest, InvalidOrAbsentGroupStopsAfterTheOwnerLine) {
  const std::string owner_only = HeaderAnd("Owner    : S-1-5-32-544    BUILTIN\\Administrators\n");
  for (const Bytes& bytes : {Patched(kWindowsLayout, 0x08, {0, 0, 0, 0}), Patched(kWindowsLayout, kGroupAt, {0}),
                             Patched(kWindowsLayout, kGroupAt + 1, {6})}) {  // 6 sub-authorities reach past the end
    const Rendered rendered = Render(bytes);
    EXPECT_EQ(rendered.status, kStatusInvalidArgument);
    EXPECT_EQ(rendered.out, owner_only);
  }
}

const std::string kUpToSacl = kWindowsLayoutText.substr(0, kWindowsLayoutText.find("SACL ACE"));
const std::string kUpToDacl = kWindowsLayoutText.substr(0, kWindowsLayoutText.find("DACL ACE"));

TEST(DescriptorFailureTest, AclRevisionOutsideTwoToFour) {
  for (uint8_t revision : {0, 1, 5, 0xFF}) {
    SCOPED_TRACE(revision);
    const Rendered sacl = Render(Patched(kWindowsLayout, kSaclAt, {revision}));
    EXPECT_EQ(sacl.status, kStatusInvalidArgument);
    EXPECT_EQ(sacl.out, kUpToSacl);
    const Rendered dacl = Render(Patched(kWindowsLayout, kDaclAt, {revision}));
    EXPECT_EQ(dacl.status, kStatusInvalidArgument);
    EXPECT_EQ(dacl.out, kUpToDacl);
  }
  for (uint8_t revision : {2, 3, 4}) {
    const Rendered rendered = Render(Patched(Patched(kWindowsLayout, kSaclAt, {revision}), kDaclAt, {revision}));
    EXPECT_EQ(rendered.status, kStatusSuccess);
    EXPECT_EQ(rendered.out, kWindowsLayoutText);
  }
}

TEST(DescriptorFailureTest, MalformedAclStopsBeforeAnyOfItsLines) {
  struct Case {
    const char* what;
    Bytes bytes;
    const std::string& expected;
  };
  const Case cases[] = {
      // AceCount 4 in a DACL whose AclSize holds 3: ACE 3 begins at AclSize.
      {"ace past AclSize", Patched(kWindowsLayout, kDaclAt + 4, {4}), kUpToDacl},
      // AclSize one byte short of its last ACE.
      {"last ace reaches past AclSize", Patched(kWindowsLayout, kDaclAt + 2, {0x5B}), kUpToDacl},
      // A SACL of 0xFF bytes reaches past the descriptor's bytes.
      {"acl past the bytes", Patched(kWindowsLayout, kSaclAt + 2, {0xFF, 0x00}), kUpToSacl},
      {"acl header past the bytes", Patched(kWindowsLayout, 0x0C, {0xC8, 0, 0, 0}), kUpToSacl},
      {"AclSize below its header", Patched(Patched(kWindowsLayout, kSaclAt + 2, {0x04}), kSaclAt + 4, {0}), kUpToSacl},
      // Kept ACE whose SID is invalid (the SYSTEM SID's revision).
      {"invalid sid", Patched(kWindowsLayout, kDaclAt + 8 + 8, {0}), kUpToDacl},
      {"sid with 15 subauthorities past the ace", Patched(kWindowsLayout, kSaclAt + 8 + 9, {15}), kUpToSacl},
      // AceSize smaller than the body: the SID reaches past the ACE.
      {"ace shorter than its sid", Patched(kWindowsLayout, kSaclAt + 8 + 2, {0x10}), kUpToSacl},
      // AceSize 0 and below the header, on a skipped ACE too.
      {"ace size 0", Patched(kWindowsLayout, kDaclAt + 8 + 2, {0, 0}), kUpToDacl},
      {"skipped ace size 0", Patched(kWindowsLayout, kDaclAt + 0x1C + 2, {0, 0}), kUpToDacl},
      {"skipped ace size 3", Patched(kWindowsLayout, kDaclAt + 0x1C + 2, {3, 0}), kUpToDacl},
      // Object ACE announcing both GUIDs in an ACE sized for one.
      {"object ace guids past the ace", Patched(kWindowsLayout, kDaclAt + 0x30 + 8, {3}), kUpToDacl},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Rendered rendered = Render(c.bytes);
    EXPECT_EQ(rendered.status, kStatusInvalidArgument);
    EXPECT_EQ(rendered.out, c.expected);
  }
}

// The last ACE of an ACL whose AclSize leaves spare bytes after it, and
// whose AceSize is too short for its SID: the SID's missing bytes lie in
// the spare bytes, which belong to no ACE; read from there it would look
// valid. Each size cuts the SID at another field.
TEST(DescriptorFailureTest, TooShortLastAceIsNotReadIntoTheSpareBytesAfterIt) {
  const Bytes first = Ace(0x00, 0x00, 0x1, kUsers);
  const Bytes last = Ace(0x00, 0x00, 0x2, kSystem);  // 8 + 12 bytes
  const Layout layout =
      Descriptor(kSelfRelative | kDaclPresent, kAdmins, kSystem, {}, Acl({first, last}));
  const uint64_t last_size = layout.dacl + 8 + first.size() + 2;
  ASSERT_EQ(Render(layout.bytes).status, kStatusSuccess);
  for (uint8_t size : {8, 12, 16, 19}) {  // no SID; its header cut; its sub-authority cut; one byte short
    SCOPED_TRACE(int{size});
    const Rendered rendered = Render(Patched(layout.bytes, last_size, {size, 0}));
    EXPECT_EQ(rendered.status, kStatusInvalidArgument);
    EXPECT_EQ(rendered.out, HeaderAnd(kOwnerGroupText));
  }
}

TEST(DescriptorFailureTest, FailedRetryStopsBeforeTheLine) {
  FakePlatform platform = WellKnownAccounts();
  platform.AddAccount(u"S-1-5-18", u"NT AUTHORITY", std::u16string(32, u's'));  // needs 33
  platform.FailRetryWith(8);
  const Rendered rendered = Render(platform, kWindowsLayout);
  EXPECT_EQ(rendered.status, 0x80070008u);
  EXPECT_EQ(rendered.out, kUpToDacl);

  FakePlatform owner_platform = WellKnownAccounts();
  owner_platform.AddAccount(u"S-1-5-32-544", u"BUILTIN", std::u16string(31, u'a'));  // fits exactly
  owner_platform.AddAccount(u"S-1-5-21-1-2-3-513", std::u16string(32, u'D'), u"x");
  owner_platform.FailRetryWith(platform::kErrorInsufficientBuffer);
  const Rendered group = Render(owner_platform, kWindowsLayout);
  EXPECT_EQ(group.status, 0x8007007Au);
  EXPECT_EQ(group.out, HeaderAnd("Owner    : S-1-5-32-544    BUILTIN\\" + std::string(31, 'a') + "\n"));
}

TEST(DescriptorFailureTest, RetryFailingWithNoneMappedStillStops) {
  FakePlatform platform = WellKnownAccounts();
  platform::AccountLookup insufficient;
  insufficient.error = platform::kErrorInsufficientBuffer;
  insufficient.name_needed = 40;
  insufficient.domain_needed = 40;
  platform::AccountLookup none_mapped;
  none_mapped.error = platform::kErrorNoneMapped;
  platform.Script(insufficient);
  platform.Script(none_mapped);
  const Rendered rendered = Render(platform, kWindowsLayout);
  EXPECT_EQ(rendered.status, 0x80070534u);
  EXPECT_EQ(rendered.out, kHeaderLines);
}

TEST(SecurityStatusTest, FromPlatformError) {
  EXPECT_EQ(StatusFromError(87), kStatusInvalidArgument);
  EXPECT_EQ(StatusFromError(14), kStatusOutOfMemory);
  EXPECT_EQ(StatusFromError(0x12345), 0x80072345u);
  EXPECT_EQ(StatusFromError(0), 0u);
  EXPECT_EQ(StatusFromError(0x80004005), 0x80004005u);  // already a status
}

// --- Truncation at every length: no read past the bytes, and the lines
// printed are those whose structures lie wholly inside them. ---

size_t LineCount(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

TEST(DescriptorTruncationTest, WindowsLayoutAtEveryLength) {
  for (size_t length = 0; length < kWindowsLayout.size(); ++length) {
    SCOPED_TRACE(length);
    const Rendered rendered = Render(Bytes(kWindowsLayout.begin(), kWindowsLayout.begin() + length));
    EXPECT_EQ(rendered.status, kStatusInvalidArgument);
    // Owner and group lie at the end: with all of the owner, one line more.
    EXPECT_EQ(LineCount(rendered.out), length >= kGroupAt ? 3u : 2u);
    EXPECT_EQ(kWindowsLayoutText.compare(0, rendered.out.size(), rendered.out), 0);
  }
}

TEST(DescriptorTruncationTest, OwnerFirstLayoutAtEveryLength) {
  const Layout layout = Descriptor(kSelfRelative | kSaclPresent | kDaclPresent, kAdmins, kUnknown,
                                   Acl({Ace(0x02, 0xC0, 0x1, kEveryone), Ace(0x11, 0, 0x1, kEveryone)}),
                                   Acl({ObjectAce(0x05, 0, 0x1, 3, kSystem), Ace(0x00, 0x10, 0x2, kUsers)}));
  const Rendered full = Render(layout.bytes);
  ASSERT_EQ(full.status, kStatusSuccess);
  ASSERT_EQ(LineCount(full.out), 8u);
  const uint64_t group_end = 0x14 + kAdmins.size() + kUnknown.size();
  for (size_t length = 0; length < layout.bytes.size(); ++length) {
    SCOPED_TRACE(length);
    const Rendered rendered = Render(Bytes(layout.bytes.begin(), layout.bytes.begin() + length));
    EXPECT_EQ(rendered.status, kStatusInvalidArgument);
    EXPECT_EQ(full.out.compare(0, rendered.out.size(), rendered.out), 0);
    size_t expected = 2;
    if (length >= 0x14 + kAdmins.size()) expected = 3;
    if (length >= group_end) expected = 4;
    if (length >= layout.dacl) expected = 6;  // the SACL is complete
    EXPECT_EQ(LineCount(rendered.out), expected);
  }
}

// --- The same values as SDDL and as one JSON object ---

TEST(DescriptorSddlTest, EveryPartInItsOrderWithControlFlags) {
  const Bytes protected_lists =
      Descriptor(kSelfRelative | kSaclPresent | kDaclPresent | 0x1000 | 0x0400, kAdmins, kSystem,
                 Acl({Ace(0x02, 0xC0, 0x10000, kEveryone)}),
                 Acl({Ace(0x00, 0x03, 0x1F01FF, kSystem), Ace(0x01, 0x10, 0x100, kUsers), Ace(0x03, 0, 1, kUsers)}))
          .bytes;
  const std::vector<std::pair<Bytes, std::u16string>> cases = {
      {protected_lists,
       u"O:S-1-5-32-544G:S-1-5-18D:PAI(A;OICI;0x1f01ff;;;S-1-5-18)(D;ID;0x100;;;S-1-5-32-545)"
       u"S:(AU;SAFA;0x10000;;;S-1-1-0)"},
      {Descriptor(kSelfRelative | kDaclPresent, kAdmins, kSystem, {}, {}).bytes,
       u"O:S-1-5-32-544G:S-1-5-18D:NO_ACCESS_CONTROL"},
      {Dacl({ObjectAce(0x05, 0x02, 0x100, 1, kAdmins)}),
       u"O:S-1-5-32-544G:S-1-5-18D:(OA;CI;0x100;eeeeeeee-eeee-eeee-eeee-eeeeeeeeeeee;;S-1-5-32-544)"},
      {Descriptor(kSelfRelative, kAdmins, {}, {}, {}).bytes, u"O:S-1-5-32-544"},  // stops at the missing group
  };
  FakePlatform platform = WellKnownAccounts();
  for (const auto& [bytes, sddl] : cases) {
    const DescriptorValues values = DescribeSecurityDescriptor(platform, bytes);
    EXPECT_EQ(Sddl(values), sddl);
  }
}

TEST(DescriptorJsonTest, OneObjectWithNamesStatusAndBytes) {
  FakePlatform platform = WellKnownAccounts();
  const std::vector<std::pair<Bytes, std::vector<std::string>>> cases = {
      {Dacl({Ace(0x00, 0x03, 0x1F01FF, kSystem)}),
       {"\"complete\":true,\"status\":0,",
        "\"control\":{\"value\":32772,\"names\":[\"DACL_PRESENT\",\"SELF_RELATIVE\"]}",
        "\"owner\":{\"sid\":\"S-1-5-32-544\",\"bytes\":\"01020000000000052000000020020000\",\"domain\":\"BUILTIN\","
        "\"name\":\"Administrators\"}",
        "{\"type\":0,\"type_name\":\"ACCESS_ALLOWED\",\"flags\":{\"value\":3,\"names\":[\"OBJECT_INHERIT\","
        "\"CONTAINER_INHERIT\"]},\"mask\":{\"value\":2032127,"}},
      // Unknown SIDs carry no names; a malformed descriptor keeps what was read.
      {Descriptor(kSelfRelative, kUnknown, {}, {}, {}).bytes,
       {"\"complete\":false,\"status\":2147942487,", "\"owner\":{\"sid\":\"S-1-5-21-7-8-9-1001\",\"bytes\":\"",
        "\"sddl\":\"O:S-1-5-21-7-8-9-1001\"}"}},
  };
  for (const auto& [bytes, parts] : cases) {
    StringSink out;
    StringSink err;
    Console console(out, err);
    EmitSecurityDescriptor(console, DescribeSecurityDescriptor(platform, bytes), bytes);
    ASSERT_EQ(out.text().rfind("{\"report\":\"security_descriptor\",\"found\":true,", 0), 0u) << out.text();
    EXPECT_EQ(std::count(out.text().begin(), out.text().end(), '\n'), 1);
    for (const std::string& part : parts)
      EXPECT_NE(out.text().find(part), std::string::npos) << part << "\n" << out.text();
    EXPECT_EQ(out.text().find("\"domain\":\"\""), std::string::npos);
  }
}

}  // namespace
}  // namespace velmora::security
