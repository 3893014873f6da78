// Fingerprint tests: the block checksum against a plain reference, file times, verify and stamp.
#include <gtest/gtest.h>
#include <filesystem>
#include <random>
#include "crypto.h"
#include "dostime.h"
#include "fingerprint.h"
#include "os.h"
#include "stream.h"
#include "testutil.h"

namespace {

// The checksum read the plain way: 512-byte blocks from the start, parity counted from each
// block's end.
uint16_t ReferenceChecksum(const Bytes& data)
{
    uint16_t sum = 0;
    for (size_t start = 0; start < data.size(); start += 512) {
        size_t n = std::min<size_t>(512, data.size() - start);
        for (size_t i = 0; i < n; i++) {
            uint16_t b = data[start + i];
            sum ^= ((n - i) & 1) ? b : (uint16_t)(b << 8);
        }
    }
    return sum;
}

Bytes RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto& x : b) x = (uint8_t)gen();
    return b;
}

uint32_t WriteTimeOf(const std::string& path)
{
    FileStream f(ReadAccess, path.c_str());
    uint32_t dt = 0;
    EXPECT_FALSE(f.HasError());
    EXPECT_EQ(1, ReadDosDateTime(&f, &dt));
    return dt;
}

// Sets the last-write time of a file from a local time given as DOS fields plus extra ticks.
void SetLocalTime(const std::string& path, uint32_t dateTime, OsFileTime extraTicks)
{
    OsFileTime t;
    ASSERT_EQ(1, DosToFileTime((uint16_t)(dateTime >> 16), (uint16_t)dateTime, &t));
    t += extraTicks;
    ASSERT_NE(0, Os().localToUtc(&t));
    FileStream f(ReadAccess | WriteAccess, path.c_str());
    ASSERT_FALSE(f.HasError());
    ASSERT_NE(0, Os().setTimes(f.handle, t));
}

// Records the flags of every open, over the real platform.
std::vector<unsigned> openFlags;
OsLayer recording;
OsHandle RecordingOpen(const char* path, unsigned flags)
{
    openFlags.push_back(flags);
    return NativeOs().open(path, flags);
}

struct RecordOpens {
    RecordOpens()
    {
        openFlags.clear();
        recording = NativeOs();
        recording.open = RecordingOpen;
        SetOs(&recording);
    }
    ~RecordOpens() { SetOs(nullptr); }
};

}   // namespace

TEST(Checksum, WorkedExamples)
{
    EXPECT_EQ(0x6202, ChecksumOf("abc", 3));
    EXPECT_EQ(0x0206, ChecksumOf("abcd", 4));
    EXPECT_EQ(0x6162, ChecksumOf("ab", 2));
    EXPECT_EQ(0x0061, ChecksumOf("a", 1));
    EXPECT_EQ(0, ChecksumOf("", 0));
    Bytes ones(513, 0x01);
    EXPECT_EQ(0x0001, ChecksumOf(ones.data(), ones.size()));
    // A full block of equal bytes cancels; so does any even count of them.
    EXPECT_EQ(0, ChecksumOf(ones.data(), 512));
}

TEST(Checksum, BlockEdgesAndArbitraryPiecesMatchReference)
{
    std::mt19937 gen(7);
    for (size_t n : {1u, 2u, 511u, 512u, 513u, 1023u, 1024u, 1025u, 1536u, 70001u}) {
        Bytes data = RandomBytes(n, (uint32_t)n);
        uint16_t want = ReferenceChecksum(data);
        EXPECT_EQ(want, ChecksumOf(data.data(), data.size())) << n;
        for (int round = 0; round < 20; round++) {
            ChecksumState s;
            ChecksumBegin(&s);
            size_t at = 0;
            while (at < n) {
                size_t piece = std::min<size_t>(n - at, gen() % 1100);   // 0 included
                ChecksumFeed(&s, data.data() + at, piece);
                at += piece;
            }
            ASSERT_EQ(want, ChecksumValue(&s)) << n << " round " << round;
            ASSERT_EQ(n, s.size);
        }
    }
}

TEST(Fingerprint, FileContentMatchesReference)
{
    TempDir dir;
    for (size_t n : {0u, 3u, 511u, 512u, 513u, 1024u, 1025u, 65535u, 65536u, 65537u, 200003u}) {
        Bytes data = RandomBytes(n, 100 + (uint32_t)n);
        std::string path = dir / ("f" + std::to_string(n));
        WriteFileBytes(path, data);
        FileFingerprint fp;
        ASSERT_EQ(1, ComputeFingerprint(path.c_str(), &fp)) << n;
        EXPECT_EQ(n, +fp.size);
        EXPECT_EQ(ReferenceChecksum(data), +fp.checksum) << n;
        EXPECT_NE(0u, +fp.dateTime);
        EXPECT_EQ(WriteTimeOf(path), +fp.dateTime);
    }
}

TEST(Fingerprint, UnreadableFilesGiveFalseAndAllZero)
{
    TempDir dir;
    std::string missing = dir / "missing.txt";
    std::string folder = dir / "sub";
    std::filesystem::create_directory(folder);
    std::string held = dir / "held.txt";
    WriteFileBytes(held, BytesOf("abc"));
    FileStream holder(ReadAccess, held.c_str());
    ASSERT_FALSE(holder.HasError());

    for (const std::string& p : {missing, folder, held}) {
        FileFingerprint fp;
        memset(&fp, 0xAA, sizeof fp);
        EXPECT_EQ(0, ComputeFingerprint(p.c_str(), &fp)) << p;
        EXPECT_EQ(0u, +fp.dateTime);
        EXPECT_EQ(0u, +fp.size);
        EXPECT_EQ(0, +fp.checksum);
    }
}

TEST(Fingerprint, OddSecondReadsAsTheEvenSecondBelow)
{
    TempDir dir;
    std::string path = dir / "odd.txt";
    WriteFileBytes(path, BytesOf("abc"));
    // 14:30:27.5 local on 15 March 1996.
    SetLocalTime(path, 0x206F73CD, 15000000);
    FileFingerprint fp;
    ASSERT_EQ(1, ComputeFingerprint(path.c_str(), &fp));
    EXPECT_EQ(0x206F73CDu, +fp.dateTime);
}

TEST(VerifyAndStamp, RightContentIsStampedAndFingerprintsBackExactly)
{
    TempDir dir;
    std::string path = dir / "new.bin";
    Bytes data = RandomBytes(1025, 3);
    WriteFileBytes(path, data);
    FileFingerprint expected = {0x206F73CD, 1025, ReferenceChecksum(data)};
    ASSERT_EQ(1, VerifyAndStamp(path.c_str(), &expected));

    FileFingerprint again;
    ASSERT_EQ(1, ComputeFingerprint(path.c_str(), &again));
    EXPECT_EQ(0, memcmp(&expected, &again, sizeof again));

    // The write time is the DOS value taken as local time, in UTC.
    OsFileTime want;
    ASSERT_EQ(1, DosToFileTime(0x206F, 0x73CD, &want));
    ASSERT_NE(0, Os().localToUtc(&want));
    OsFileTime got = 0;
    {
        FileStream f(ReadAccess, path.c_str());
        ASSERT_NE(0, Os().getWriteTime(f.handle, &got));
    }
    EXPECT_EQ(want, got);
    EXPECT_EQ(data, ReadFileBytes(path));
}

TEST(VerifyAndStamp, MismatchNeverOpensForWritingNorTouchesTheFile)
{
    TempDir dir;
    std::string path = dir / "new.bin";
    WriteFileBytes(path, BytesOf("abcd"));
    SetLocalTime(path, 0x28210000, 0);   // 1 January 2000, midnight
    uint32_t before = WriteTimeOf(path);

    FileFingerprint wrongSum = {0x206F73CD, 4, 0x0207};
    FileFingerprint wrongSize = {0x206F73CD, 5, 0x0206};
    {
        RecordOpens rec;
        EXPECT_EQ(0, VerifyAndStamp(path.c_str(), &wrongSum));
        EXPECT_EQ(0, VerifyAndStamp(path.c_str(), &wrongSize));
        ASSERT_FALSE(openFlags.empty());
        for (unsigned f : openFlags) EXPECT_EQ(0u, f & WriteAccess);
    }
    EXPECT_EQ(before, WriteTimeOf(path));
    EXPECT_EQ(BytesOf("abcd"), ReadFileBytes(path));

    FileFingerprint right = {0x206F73CD, 4, 0x0206};
    RecordOpens rec;
    EXPECT_EQ(1, VerifyAndStamp(path.c_str(), &right));
    ASSERT_EQ(2u, openFlags.size());
    EXPECT_EQ((unsigned)ReadAccess, openFlags[0] & (ReadAccess | WriteAccess));
    EXPECT_EQ((unsigned)(ReadAccess | WriteAccess), openFlags[1]);
}

TEST(VerifyAndStamp, ReadOnlyOrMissingFileFails)
{
    TempDir dir;
    std::string path = dir / "ro.txt";
    WriteFileBytes(path, BytesOf("abc"));
    SetLocalTime(path, 0x28210000, 0);
    std::filesystem::permissions(path,
                                 std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                     std::filesystem::perms::others_write,
                                 std::filesystem::perm_options::remove);
    FileFingerprint right = {0x206F73CD, 3, 0x6202};
    EXPECT_EQ(0, VerifyAndStamp(path.c_str(), &right));
    EXPECT_EQ(0x28210000u, WriteTimeOf(path));

    std::string missing = dir / "none.txt";
    FileFingerprint empty = {0x206F73CD, 0, 0};
    EXPECT_EQ(0, VerifyAndStamp(missing.c_str(), &empty));
    EXPECT_FALSE(PathExists(missing));
}

// A file verified from the bytes it was written with, small ones on the writer's thread and
// large ones (1 MiB and more) on a second: the same fingerprint and SHA-256 as reading it back,
// whatever the pieces, and a wrong checksum or digest fails without a stamp.
TEST(VerifyAndStamp, WrittenFileVerifiesFromWhatReachedIt)
{
    TempDir dir;
    std::mt19937 gen(11);
    for (size_t n : {(size_t)0, (size_t)700, (size_t)65537, (size_t)(2u << 20) + 333}) {
        Bytes data = RandomBytes(n, 300 + (uint32_t)n);
        uint8_t want[kDigestSize], made[kDigestSize];
        ASSERT_EQ(1, DigestOf(data.data(), data.size(), want));
        FileFingerprint expected = {0x206F73CD, (uint32_t)n, ReferenceChecksum(data)};
        for (int wrong = 0; wrong < 3; wrong++) {
            std::string path = dir / ("w" + std::to_string(n) + "-" + std::to_string(wrong));
            FileStream out(WriteAccess, path.c_str());
            WrittenPrint print;
            ASSERT_EQ(1, WatchPrint(&out, &print, 1, (uint32_t)n));
            for (size_t at = 0; at < n;) {
                size_t piece = std::min<size_t>(n - at, gen() % 200000);
                out.Write(data.data() + at, (uint32_t)piece);
                at += piece;
            }
            FileFingerprint asked = expected;
            uint8_t digest[kDigestSize];
            memcpy(digest, want, kDigestSize);
            if (wrong == 1) asked.checksum ^= 1;
            if (wrong == 2) digest[7] ^= 1;
            EXPECT_EQ(wrong ? 0 : 1, VerifyAndStampWritten(&out, &print, &asked, digest, made)) << n << " " << wrong;
            out.Close();
            FileFingerprint back;
            uint8_t readBack[kDigestSize];
            ASSERT_EQ(1, ComputeFingerprint(path.c_str(), &back, nullptr, readBack)) << n;
            EXPECT_EQ(0, memcmp(readBack, want, kDigestSize)) << n;
            EXPECT_EQ(ReferenceChecksum(data), +back.checksum) << n;
            if (wrong == 0) {
                EXPECT_EQ(0, memcmp(made, want, kDigestSize)) << n;
                EXPECT_EQ(0x206F73CDu, back.dateTime) << n;
            } else {
                EXPECT_NE(0x206F73CDu, back.dateTime) << n << " " << wrong;
            }
        }
    }
}
