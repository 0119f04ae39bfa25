// The record scrambling: its key, self-inverse coding at every position and length, coding of
// parts at their own position, and the word form.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "ekts/Ekts.h"
#include "ekts/Ekts5.h"

using zelto::Ekts;

namespace {

std::vector<unsigned char> randomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<unsigned char> v(n);
  for (auto& b : v) b = static_cast<unsigned char>(rng());
  return v;
}

TEST(EktsScrambling, KeyIsFixedForever) {
  const char* key = Ekts::key();
  ASSERT_EQ(std::strlen(key), 213u);
  uint32_t h = 0x811c9dc5u;  // FNV-1a
  for (int i = 0; i < 213; ++i) {
    const unsigned char c = static_cast<unsigned char>(key[i]);
    EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << i;
    h = (h ^ c) * 0x01000193u;
  }
  // Files already written carry images scrambled with this key.
  EXPECT_EQ(h, 0x43180a2cu);
}

TEST(EktsScrambling, SelfInverseAtEveryPositionAndLength) {
  const auto plain = randomBytes(1320, 1);
  std::vector<unsigned char> coded(1320), back(1320), part(1320);
  for (int pos = 0; pos < 213; ++pos) {
    Ekts::codeEkts(plain.data(), coded.data(), 1320, pos);
    Ekts::codeEkts(coded.data(), back.data(), 1320, pos);
    ASSERT_EQ(back, plain) << pos;
    // Every shorter length codes in place to the prefix of the whole, so it inverts too.
    for (int len = 0; len <= 1320; ++len) {
      std::memcpy(part.data(), plain.data(), len);
      Ekts::codeEkts(part.data(), part.data(), len, pos);
      ASSERT_EQ(0, std::memcmp(part.data(), coded.data(), len)) << pos << "/" << len;
    }
  }
}

TEST(EktsScrambling, PartsAtTheirOwnPositionMatchTheWholeImage) {
  const auto plain = randomBytes(1320, 2);
  std::vector<unsigned char> whole(1320);
  Ekts::codeEkts(plain.data(), whole.data(), 1320, 0);
  for (int page = 0; page < 5; ++page) {
    std::vector<unsigned char> part(plain.begin() + page * 264, plain.begin() + (page + 1) * 264);
    Ekts::codeEkts(part.data(), part.data(), 264, page * 264);
    EXPECT_EQ(0, std::memcmp(part.data(), whole.data() + page * 264, 264)) << page;
    // Every byte of a page changes: no key character is zero.
    for (int i = 0; i < 264; ++i) ASSERT_NE(part[i], plain[page * 264 + i]);
  }
  unsigned char version[2] = {plain[28], plain[29]};
  Ekts::codeEkts(version, version, 2, 28);
  EXPECT_EQ(version[0], whole[28]);
  EXPECT_EQ(version[1], whole[29]);
  // Pages past the image (filter scenario pages) use key positions 1320 and up.
  for (int page = 5; page < 9; ++page) {
    auto p = randomBytes(264, 10 + page);
    auto q = p;
    Ekts::codeEkts(q.data(), q.data(), 264, page * 264);
    for (int i = 0; i < 264; ++i) ASSERT_NE(p[i], q[i]) << page << ":" << i;
  }
}

TEST(EktsScrambling, KeyPositionWrapsAndBadArgumentsChangeNothing) {
  unsigned char a[3] = {0, 0, 0};
  Ekts::codeEkts(a, a, 3, 212);
  const char* key = Ekts::key();
  EXPECT_EQ(a[0], static_cast<unsigned char>(key[212]));
  EXPECT_EQ(a[1], static_cast<unsigned char>(key[0]));
  EXPECT_EQ(a[2], static_cast<unsigned char>(key[1]));
  unsigned char b[2] = {0, 0};
  Ekts::codeEkts(b, b, 2, 213);
  EXPECT_EQ(b[0], static_cast<unsigned char>(key[0]));
  unsigned char c[4] = {1, 2, 3, 4};
  Ekts::codeEkts(c, c, 0, 0);
  Ekts::codeEkts(c, c, -5, 0);
  Ekts::codeEkts(c, c, 4, -1);
  EXPECT_EQ(c[0], 1);
  EXPECT_EQ(c[3], 4);
}

TEST(EktsScrambling, WordFormEqualsByteFormForEveryLengthWithinItsBuffers) {
  const auto plain = randomBytes(1400, 3);
  struct Case {
    int length, position;
  } cases[] = {{1, 210}, {2, 210}, {3, 210}, {5, 210}, {8, 210}, {1321, 210}, {1321, 0}, {7, 0}, {1320, 5}};
  for (const auto& c : cases) {
    // Guard bytes on both sides of source and destination.
    std::vector<unsigned char> src(c.length + 16, 0xEE), dst(c.length + 16, 0x55), ref(c.length);
    std::memcpy(src.data() + 8, plain.data(), c.length);
    Ekts::codeEkts32(src.data() + 8, dst.data() + 8, c.length, c.position);
    Ekts::codeEkts(plain.data(), ref.data(), c.length, c.position);
    EXPECT_EQ(0, std::memcmp(dst.data() + 8, ref.data(), c.length)) << c.length << "@" << c.position;
    for (int i = 0; i < 8; ++i) {
      EXPECT_EQ(dst[i], 0x55);
      EXPECT_EQ(dst[c.length + 8 + i], 0x55) << c.length;
      EXPECT_EQ(src[c.length + 8 + i], 0xEE);
    }
  }
}

TEST(EktsScrambling, ImportingAndExportingAScrambledImageGivesItBack) {
  const auto scrambled = randomBytes(1320, 4);
  zelto::Ekts5 e;
  e.initializeFromBuffer(scrambled.data(), 1320, true);
  std::vector<unsigned char> out(1320);
  EXPECT_EQ(e.getEncryptedEktsData(out.data()), 1320);
  EXPECT_EQ(out, scrambled);
  std::vector<unsigned char> plain(1320);
  Ekts::codeEkts(scrambled.data(), plain.data(), 1320, 0);
  EXPECT_EQ(0, std::memcmp(e.pointerToData(), plain.data(), 1320));
}

}  // namespace
