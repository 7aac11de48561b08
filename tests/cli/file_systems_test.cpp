// morcelix-cli on the file systems users keep their files on, each mounted
// from an image by scripts/mount-test-disks.sh and named in
// MORCELIX_TEST_DISKS ("ntfs=PATH exfat=PATH ..."): round trips, joins and
// splits in place killed at random moments then run again, full disks, and
// the largest file each takes. A file system that is not mounted is skipped.
//
// These drivers lack calls that ext4 has (unnamed files, kernel copies,
// locks, range flushes, renames that keep the target): whatever the layer
// does instead must keep the same promises. The disks are shared by all the
// cases, so CTest runs them one at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "pieces/failure.h"
#include "pieces/file_stream.h"
#include "pieces/manifest.h"
#include "pieces/piece_names.h"
#include "pieces/split.h"
#include "tests/cli/run_program.h"
#include "tests/support/in_place_state.h"
#include "tests/support/temp_folder.h"

namespace morcelix {
namespace {

using namespace std::chrono_literals;
using testing::CliProgram;
using testing::kCliPrefix;
using testing::PatternBytes;
using testing::ProgramProcess;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;
using Snapshot = std::vector<std::pair<std::string, std::string>>;

// The kinds scripts/mount-test-disks.sh mounts, by the names it gives them.
const std::vector<std::string> kKinds = {"ntfs", "exfat", "fat",   "btrfs",
                                         "xfs",  "ext4",  "tmpfs", "sshfs"};

bool ThroughFuse(const std::string& kind) {
    return kind == "ntfs" || kind == "exfat" || kind == "fat" || kind == "sshfs";
}

// Whether a file there can be larger than the blocks it takes: FAT and exFAT
// write every byte of a file's length.
bool TakesSparseFiles(const std::string& kind) {
    return kind != "fat" && kind != "exfat";
}

// Whether `err` is how the tool reports a full disk there. The SFTP protocol
// has no code for a full disk: sshfs gets a plain failure for it and gives
// EIO, which the tool reports as the disk's error, naming the file.
bool SaysTheDiskIsFull(const std::string& kind, const std::string& err) {
    if (err.starts_with(kCliPrefix + "Espace disque insuffisant pour ")) {
        return true;
    }
    return kind == "sshfs" && err.starts_with(kCliPrefix + "Erreur d'écriture dans le fichier ") &&
           err.ends_with(" : le disque signale une erreur\n");
}

// The mount point of `kind` named in MORCELIX_TEST_DISKS; "" when none is.
std::string DiskOf(const std::string& kind) {
    const char* disks = std::getenv("MORCELIX_TEST_DISKS");
    std::istringstream entries(disks == nullptr ? "" : disks);
    for (std::string entry; entries >> entry;) {
        if (entry.starts_with(kind + "=")) {
            return entry.substr(kind.size() + 1);
        }
    }
    return "";
}

// The bytes a file can still take on the disk of `path`, once the file
// system has settled what it freed (btrfs counts freed room later).
std::int64_t FreeBytes(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        syncfs(fd);
        close(fd);
    }
    struct statvfs space {};
    if (statvfs(path.c_str(), &space) != 0) {
        return -1;
    }
    return static_cast<std::int64_t>(space.f_bavail) * static_cast<std::int64_t>(space.f_frsize);
}

std::int64_t BlockSize(const std::string& path) {
    struct statvfs space {};
    return statvfs(path.c_str(), &space) == 0 ? static_cast<std::int64_t>(space.f_frsize) : 4096;
}

// A file that takes the room of a disk, all but what a test leaves: by
// fallocate where the file system has it, by writing zeros elsewhere.
class Filler {
  public:
    explicit Filler(std::string path) : path_(std::move(path)) {}
    ~Filler() { Remove(); }
    Filler(const Filler&) = delete;
    Filler& operator=(const Filler&) = delete;

    // Grows or shrinks the file until about `room` bytes are left beside it;
    // returns the room left.
    std::int64_t LeaveRoom(std::int64_t room) {
        const std::string folder = FolderPart(path_);
        const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            ADD_FAILURE() << "the test could not create " << path_;
            return FreeBytes(folder);
        }
        const std::int64_t nearEnough = std::max<std::int64_t>(64 << 10, 2 * BlockSize(folder));
        std::int64_t left = FreeBytes(folder);
        for (int step = 0; step < 8 && std::abs(left - room) > nearEnough; ++step) {
            struct stat status {};
            fstat(fd, &status);
            const std::int64_t size = status.st_size;
            if (left > room) {
                Grow(fd, size, left - room);
            } else if (ftruncate(fd, std::max<std::int64_t>(size - (room - left), 0)) != 0) {
                break;
            }
            left = FreeBytes(folder);
        }
        close(fd);
        return left;
    }

    void Remove() {
        unlink(path_.c_str());
        FreeBytes(FolderPart(path_));
    }

  private:
    static void Grow(int fd, std::int64_t size, std::int64_t by) {
        if (fallocate(fd, 0, size, by) == 0) {
            return;
        }
        const std::string zeros(1 << 20, '\0');
        lseek(fd, size, SEEK_SET);
        while (by > 0) {
            const ssize_t done =
                write(fd, zeros.data(), static_cast<size_t>(std::min<std::int64_t>(by, 1 << 20)));
            if (done <= 0) {
                break;
            }
            by -= done;
        }
        fdatasync(fd);
    }

    std::string path_;
};

// The FUSE connection of a mount, as /sys/fs/fuse/connections names it: its
// device number, as the kernel encodes it, read from the mount table. A stat
// of the mount point would wait on a driver that already hangs (fusefat,
// left so by an earlier run, hangs every call).
std::string FuseConnection(const std::string& mountPoint) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string connection;
    for (std::string line; std::getline(mounts, line);) {
        // id parent major:minor root mount-point ...
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        const std::size_t colon = device.find(':');
        if (point == mountPoint && colon != std::string::npos) {
            connection = std::to_string((std::stoul(device.substr(0, colon)) << 20) |
                                        std::stoul(device.substr(colon + 1)));
        }
    }
    return connection;
}

// Aborts the FUSE connection of a disk once a test has run for `limit`: a
// driver that hangs leaves the processes waiting on it, the test program
// among them, unkillable; aborted, they fail at once.
class HangGuard {
  public:
    HangGuard(const std::string& mountPoint, std::chrono::seconds limit)
        : thread_([this, mountPoint, connection = FuseConnection(mountPoint), limit] {
              std::unique_lock lock(mutex_);
              if (!ended_.wait_for(lock, limit, [this] { return done_; })) {
                  ADD_FAILURE() << "the driver of " << mountPoint << " still held the test after "
                                << limit.count() << " s: its connection is aborted";
                  if (!connection.empty()) {
                      std::ofstream("/sys/fs/fuse/connections/" + connection + "/abort") << "1";
                  }
              }
          }) {}
    ~HangGuard() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        ended_.notify_all();
        thread_.join();
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
    std::thread thread_;
};

class FileSystemTest : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override {
        kind = GetParam();
        disk = DiskOf(kind);
        if (disk.empty()) {
            GTEST_SKIP() << "no " << kind
                         << " file system mounted (MORCELIX_TEST_DISKS, set by "
                            "scripts/mount-test-disks.sh, which needs root)";
        }
        if (ThroughFuse(kind)) {
            guard = std::make_unique<HangGuard>(disk, 180s);
        }
        folder = std::make_unique<TempFolder>(disk);
        source = *folder / "f";
        first = PieceName(source, 1);
        fillers = std::make_unique<TempFolder>(disk);
        filler = std::make_unique<Filler>(*fillers / "filler");
    }

    void TearDown() override {
        filler.reset();
        fillers.reset();
        folder.reset();
        guard.reset();
    }

    ProgramProcess Start(const std::vector<std::string>& arguments,
                         const std::vector<std::string>& before = {}) {
        return ProgramProcess(CliProgram(), arguments, scratch.Path(),
                              testing::BuiltProgramLauncher(before));
    }

    // Every run ends within two minutes, or fails the test.
    ProgramRun Run(const std::vector<std::string>& arguments,
                   const std::vector<std::string>& before = {}) {
        return Start(arguments, before).Wait(2min);
    }

    // A set of `bytes` in pieces of `pieceSize` beside `source`, made in-process.
    void MakeSet(const std::string& bytes, std::int64_t pieceSize, bool manifest = false) {
        WriteFileBytes(source, bytes);
        testing::RecordingProgress progress;
        Split(source, pieceSize, progress, {.sums = {.manifest = manifest}});
        RemoveFile(source);
    }

    // The set that the tool's ordinary split of `bytes` writes, made on the
    // machine's own disk.
    Snapshot OrdinarySet(const std::string& bytes, const std::string& size, bool manifest) {
        const TempFolder elsewhere;
        WriteFileBytes(elsewhere / "f", bytes);
        const ProgramRun run =
            Run({"decouper", manifest ? "--somme" : "--", elsewhere / "f", size});
        EXPECT_EQ(run.status, 0) << run.err;
        RemoveFile(elsewhere / "f");
        return elsewhere.Snapshot();
    }

    // The destination followed by the pieces left, in number order.
    std::string DestinationAndPiecesLeft(std::uint64_t count) {
        std::string rebuilt = FileExists(source) ? ReadFileBytes(source) : "";
        for (std::uint64_t number = 1; number <= count; ++number) {
            if (FileExists(PieceName(source, number))) {
                rebuilt += ReadFileBytes(PieceName(source, number));
            }
        }
        return rebuilt;
    }

    // Returns once `path` exists (or `other`, when given): the program has
    // begun its work. Fails the test after a minute.
    static void AwaitWorkOn(const std::string& path, const std::string& other = "") {
        const auto end = std::chrono::steady_clock::now() + 60s;
        while (!FileExists(path) && (other.empty() || !FileExists(other))) {
            if (std::chrono::steady_clock::now() > end) {
                FAIL() << path << " never appeared";
            }
            std::this_thread::sleep_for(1ms);
        }
    }

    void SleepUntilRandomMoment(std::chrono::steady_clock::duration work) {
        std::uniform_int_distribution<std::int64_t> moment(0, work.count());
        std::this_thread::sleep_for(std::chrono::steady_clock::duration(moment(random)));
    }

    std::string kind;
    std::string disk;
    std::unique_ptr<HangGuard> guard;
    std::unique_ptr<TempFolder> folder;
    std::unique_ptr<TempFolder> fillers;
    std::unique_ptr<Filler> filler;
    TempFolder scratch;
    std::string source;
    std::string first;
    std::mt19937 random{20261209};
};

// The names of a joined set: the file, and its checksum file if it had one.
std::vector<std::string> Joined(bool manifest) {
    return manifest ? std::vector<std::string>{"f", "f.sha256"} : std::vector<std::string>{"f"};
}

TEST_P(FileSystemTest, ASplitVerifiedAndJoinedGivesTheFileBack) {
    const std::string bytes = PatternBytes(9'500'000, 3);
    for (const bool manifest : {false, true}) {
        SCOPED_TRACE(manifest ? "with --somme" : "without a checksum file");
        WriteFileBytes(source, bytes);
        ProgramRun run = Run({"decouper", manifest ? "--somme" : "--", source, "1"});
        ASSERT_EQ(run.status, 0) << run.err;
        RemoveFile(source);
        EXPECT_TRUE(folder->Snapshot() == OrdinarySet(bytes, "1", manifest));
        run = Run({"verifier", first});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");

        const Snapshot set = folder->Snapshot();
        run = Run({"regrouper", "--garder", first});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(ReadFileBytes(source) == bytes);
        RemoveFile(source);
        EXPECT_TRUE(folder->Snapshot() == set) << "a kept piece changed";

        run = Run({"regrouper", first});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes);
        EXPECT_EQ(folder->Names(), Joined(manifest));
        RemoveFile(source);
        RemoveFile(ManifestPath(source));
    }
}

TEST_P(FileSystemTest, AJoinKilledAtRandomMomentsIsFinishedByRunningItAgain) {
    constexpr std::int64_t kPieceSize = 400'000;
    const std::string bytes = PatternBytes(60 * kPieceSize - 777, 5);
    MakeSet(bytes, kPieceSize);
    std::chrono::steady_clock::duration work{};
    {
        ProgramProcess join = Start({"regrouper", first});
        AwaitWorkOn(source);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(join.Wait(2min).status, 0);
        work = std::chrono::steady_clock::now() - start;
        RemoveFile(source);
    }
    int unfinished = 0;
    for (int round = 0; round < 6; ++round) {
        const bool manifest = round % 2 == 1;
        const std::string when = "round " + std::to_string(round) +
                                 (manifest ? ", with a checksum file" : "");
        MakeSet(bytes, kPieceSize, manifest);
        ProgramProcess join = Start({"regrouper", first});
        AwaitWorkOn(source);
        SleepUntilRandomMoment(work);
        join.Kill();
        join.Wait();
        if (folder->Names() != Joined(manifest)) {
            ++unfinished;
            const ProgramRun again = Run({"regrouper", first});
            EXPECT_EQ(again.status, 0) << when << ": " << again.err;
        }
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes) << when;
        EXPECT_EQ(folder->Names(), Joined(manifest)) << when;
        RemoveFile(source);
        RemoveFile(ManifestPath(source));
    }
    EXPECT_GE(unfinished, 2) << "too few joins were killed before their end to tell";
}

TEST_P(FileSystemTest, ASplitInPlaceKilledAtRandomMomentsIsFinishedByRunningItAgain) {
    constexpr std::int64_t kPieceSize = 1'000'000;
    const std::string bytes = PatternBytes(12 * kPieceSize + 4321, 7);
    const std::string last = PieceName(source, 13);
    const std::string record = PieceName(source, 0);
    std::chrono::steady_clock::duration work{};
    {
        WriteFileBytes(source, bytes);
        ProgramProcess split = Start({"decouper", "--sur-place", source, "1"});
        AwaitWorkOn(record, last);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(split.Wait(2min).status, 0);
        work = std::chrono::steady_clock::now() - start;
        for (const std::string& name : folder->Names()) {
            RemoveFile(*folder / name);
        }
    }
    const Snapshot plain = OrdinarySet(bytes, "1", false);
    const Snapshot checksummed = OrdinarySet(bytes, "1", true);
    int unfinished = 0;
    for (int round = 0; round < 6; ++round) {
        const bool manifest = round % 2 == 1;
        const std::string when = "round " + std::to_string(round) +
                                 (manifest ? ", with --somme" : "");
        const std::vector<std::string> split = {"decouper", "--sur-place",
                                                manifest ? "--somme" : "--", source, "1"};
        WriteFileBytes(source, bytes);
        ProgramProcess process = Start(split);
        AwaitWorkOn(record, last);
        SleepUntilRandomMoment(work);
        process.Kill();
        process.Wait();
        EXPECT_EQ(testing::InPlaceStateFault(source, kPieceSize, bytes), "") << when;
        const Snapshot& expected = manifest ? checksummed : plain;
        if (folder->Snapshot() != expected) {
            ++unfinished;
            const ProgramRun again = Run(split);
            EXPECT_EQ(again.status, 0) << when << ": " << again.err;
        }
        EXPECT_TRUE(folder->Snapshot() == expected) << when;
        if (round == 5) {
            EXPECT_EQ(Run({"verifier", first}).status, 0);
            const ProgramRun join = Run({"regrouper", first});
            EXPECT_EQ(join.status, 0) << join.err;
            EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes);
        }
        for (const std::string& name : folder->Names()) {
            RemoveFile(*folder / name);
        }
    }
    EXPECT_GE(unfinished, 2) << "too few splits were killed before their end to tell";
}

TEST_P(FileSystemTest, ASplitOrJoinWithoutTheRoomIsRefusedBeforeAnythingIsWritten) {
    // A file to split, and another file's set to join elsewhere on the disk.
    const std::string bytes = PatternBytes(5'000'000, 9);
    WriteFileBytes(source, bytes);
    testing::RecordingProgress progress;
    Split(source, 1'000'000, progress, {.piecesAt = *folder / "g"});
    filler->LeaveRoom(3'000'000);
    const Snapshot before = folder->Snapshot();
    const std::string needed = " : il faut " + FormatBytes(5'000'000) + ", il reste ";

    ProgramRun run = Run({"decouper", "--somme", source, "1"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.err.starts_with(kCliPrefix + "Espace disque insuffisant pour " + first + needed))
        << run.err;
    EXPECT_TRUE(folder->Snapshot() == before);

    const TempFolder other(disk);
    run = Run({"regrouper", "--garder", "-o", other.Path(), *folder / "g.001"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(
        run.err.starts_with(kCliPrefix + "Espace disque insuffisant pour " + other / "g" + needed))
        << run.err;
    EXPECT_EQ(other.Names(), std::vector<std::string>{});
    EXPECT_TRUE(folder->Snapshot() == before);
}

TEST_P(FileSystemTest, AJoinOnAFillingDiskLosesNothingAndFinishesOnceThereIsRoom) {
    constexpr std::int64_t kPieceSize = 1'000'000;
    const std::string bytes = PatternBytes(9 * kPieceSize + kPieceSize / 2, 11);
    // Room for a piece or two beside the set: the join must free room as it
    // goes, by deleting the pieces already safe in the destination, or stop
    // at a whole piece.
    for (const std::int64_t room : {2 * kPieceSize, kPieceSize + (64 << 10)}) {
        SCOPED_TRACE(::testing::Message() << "room beside the set: " << room);
        MakeSet(bytes, kPieceSize, true);
        filler->LeaveRoom(room);
        const ProgramRun run = Run({"regrouper", first});
        EXPECT_TRUE(run.status == 0 || run.status == 1) << run.err;
        EXPECT_TRUE(DestinationAndPiecesLeft(10) == bytes)
            << "the destination and the pieces left are not the file";
        filler->Remove();
        if (run.status != 0) {
            if (kind == "sshfs") {
                EXPECT_TRUE(SaysTheDiskIsFull(kind, run.err)) << run.err;
            } else {
                EXPECT_EQ(run.err,
                          kCliPrefix + "Espace disque insuffisant pour écrire " + source + "\n");
            }
            const ProgramRun again = Run({"regrouper", first});
            EXPECT_EQ(again.status, 0) << again.err;
        }
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes);
        EXPECT_EQ(folder->Names(), Joined(true));
        RemoveFile(source);
        RemoveFile(ManifestPath(source));
    }
}

TEST_P(FileSystemTest, ASplitThatFillsTheDiskPartWayLeavesTheSourceAndRunningAgainFinishes) {
    if (kind == "sshfs") {
        // Seen here: the split of 200 such pieces into the room left, as
        // sshfs reads it, succeeded; why the remote disk took them is not
        // yet known. The full disk on sshfs is tested by the joins above.
        GTEST_SKIP() << "on sshfs the remote disk does not fill part-way with pieces of a "
                        "block and a byte in the room left as sshfs reads it (cause not known)";
    }
    // Pieces of a block and a byte take two blocks each: the bytes fit the
    // room left, the pieces do not, and the disk fills part-way.
    const std::int64_t pieceSize = BlockSize(disk) + 1;
    const std::string bytes = PatternBytes(200 * pieceSize - 10, 13);
    WriteFileBytes(source, bytes);
    filler->LeaveRoom(static_cast<std::int64_t>(bytes.size()) * 3 / 2);
    const std::vector<std::string> split = {"decouper", source, std::to_string(pieceSize) + "o"};
    const ProgramRun run = Run(split);
    EXPECT_EQ(run.status, 1) << "the disk did not fill";
    EXPECT_TRUE(run.err.starts_with(kCliPrefix + "Espace disque insuffisant pour écrire " +
                                    source + "."))
        << run.err;
    EXPECT_EQ(folder->Names(), std::vector<std::string>{"f"});
    EXPECT_TRUE(ReadFileBytes(source) == bytes);

    filler->Remove();
    const ProgramRun again = Run(split);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(folder->Names().size(), 201u);
    EXPECT_TRUE(ReadFileBytes(PieceName(source, 200)) ==
                bytes.substr(static_cast<std::size_t>(199 * pieceSize)));
}

// The file a forced join replaces stays whole until the new one is: a write
// refused part-way (here by a limit on the size of the files the process
// writes, the signal it raises ignored) or a full disk leaves it as it was.
TEST_P(FileSystemTest, AForcedJoinThatFailsPartWayLeavesTheFileItReplacesWhole) {
    constexpr std::int64_t kPieceSize = 1'000'000;
    const std::string old = PatternBytes(3'000'000, 15);
    const std::string bytes = PatternBytes(9 * kPieceSize + kPieceSize / 2, 16);
    const std::vector<std::string> join = {"regrouper", "-f", first};

    MakeSet(bytes, kPieceSize);
    WriteFileBytes(source, old);
    // ulimit -f counts blocks of 1024 bytes: 5 MB.
    const ProgramRun refused =
        Run(join, {"sh", "-c", "trap '' XFSZ; ulimit -f 4883; exec \"$0\" \"$@\""});
    EXPECT_NE(refused.status, 0) << "the writes past 5 MB were not refused";
    EXPECT_TRUE(refused.err.starts_with(kCliPrefix)) << refused.err;
    EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == old)
        << "the file replaced is not whole after a write refused part-way: it holds "
        << FileSize(source) << " bytes; the join said: " << refused.err;
    ProgramRun run = Run(join);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes);
    EXPECT_EQ(folder->Names(), Joined(false));

    MakeSet(bytes, kPieceSize);
    WriteFileBytes(source, old);
    filler->LeaveRoom(kPieceSize + kPieceSize / 2);
    run = Run(join);
    if (run.status == 0) {
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes);
        EXPECT_EQ(folder->Names(), Joined(false));
    } else {
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_TRUE(SaysTheDiskIsFull(kind, run.err)) << run.err;
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == old)
            << "the file replaced is not whole after a full disk: it holds " << FileSize(source)
            << " bytes; the join said: " << run.err;
        filler->Remove();
        run = Run(join);
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes);
    }
}

// A file of more than 4 GiB, sparse where the file system allows it: FAT32
// refuses it before anything is written; no other file system is taken for
// FAT, so what stops them is the room left, never the 4 GiB limit.
TEST_P(FileSystemTest, TheLargestFileItTakesIsSplitAndJoinedOrRefusedUpFront) {
    const auto sparse = [](const std::string& path, std::int64_t size) {
        WriteFileBytes(path, "");
        std::filesystem::resize_file(testing::NativePath(path), static_cast<std::uintmax_t>(size));
    };
    constexpr std::int64_t kPieceSize = 4'300'000'000;  // more than 4 GiB
    const std::string pieceSize = std::to_string(kPieceSize) + "o";
    // Larger than any of the disks: only a refusal can end these.
    const TempFolder elsewhere;
    const std::string large = elsewhere / "f";
    sparse(large, 6'000'000'000);
    sparse(elsewhere / "g.001", kPieceSize);
    sparse(elsewhere / "g.002", 1'700'000'000);
    const std::string limit = " n'accepte pas les fichiers de plus de 4 Go\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"decouper", "-o", folder->Path(), large, pieceSize}, first},
        {{"decouper", "--sur-place", "-o", folder->Path(), large, pieceSize}, first},
        {{"regrouper", "--garder", "-o", folder->Path(), elsewhere / "g.001"}, *folder / "g"},
    };
    for (const auto& [arguments, named] : refused) {
        SCOPED_TRACE(arguments[0] + " " + arguments[1]);
        const ProgramRun run = Run(arguments);
        EXPECT_EQ(run.status, 1) << run.err;
        if (kind == "fat") {
            EXPECT_EQ(run.err, kCliPrefix + "Le disque de " + named + limit);
        } else {
            EXPECT_TRUE(run.err.starts_with(kCliPrefix + "Espace disque insuffisant pour ") &&
                        !run.err.ends_with(limit))
                << run.err;
        }
        EXPECT_EQ(folder->Names(), std::vector<std::string>{});
        EXPECT_EQ(FileSize(large), 6'000'000'000);
    }
    if (!TakesSparseFiles(kind)) {
        return;  // a file of 4 GiB would be 4 GiB written
    }

    // The split in place writes only what it copies: the last 50 MB.
    constexpr std::int64_t kSize = kPieceSize + 50'000'000;
    sparse(source, kSize);
    ProgramRun run = Run({"decouper", "--sur-place", source, pieceSize});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(folder->Names(), (std::vector<std::string>{"f.001", "f.002"}));
    EXPECT_EQ(FileSize(first), kPieceSize);
    EXPECT_EQ(FileSize(PieceName(source, 2)), kSize - kPieceSize);
    run = Run({"verifier", first});
    EXPECT_EQ(run.status, 0) << run.err;
    // Joined by renaming the first piece: a piece's room is needed beside the set.
    const bool room = FreeBytes(folder->Path()) >= kPieceSize;
    run = Run({"regrouper", first});
    if (room) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(folder->Names(), std::vector<std::string>{"f"});
        EXPECT_EQ(FileSize(source), kSize);
        // The bytes on each side of the 4 GiB mark and at the end: zeros.
        std::ifstream file(source, std::ios::binary);
        for (const std::int64_t at : {(std::int64_t{1} << 32) - 4096, kSize - 4096}) {
            std::string read(8192, 'x');
            file.seekg(at);
            file.read(read.data(), 8192);
            EXPECT_EQ(std::count(read.begin(), read.end(), '\0'), at + 8192 > kSize ? 4096 : 8192);
        }
    } else {
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(run.err.starts_with(kCliPrefix + "Espace disque insuffisant pour " + source +
                                        " : il faut "))
            << run.err;
        EXPECT_EQ(folder->Names(), (std::vector<std::string>{"f.001", "f.002"}));
    }
}

INSTANTIATE_TEST_SUITE_P(Disks, FileSystemTest, ::testing::ValuesIn(kKinds),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

// FAT32 through fusefat: after a rename, the name can lead to another entry
// than the descriptor the join holds, every call succeeding. The deleting
// join must then give the source back or stop without deleting anything.
TEST(Fat32ThroughFuseTest, ADeletingJoinOf30MBAt7MoGivesTheSourceOrStopsDeletingNothing) {
    const std::string disk = DiskOf("fat");
    if (disk.empty()) {
        GTEST_SKIP() << "no FAT32 file system mounted through fusefat (MORCELIX_TEST_DISKS)";
    }
    const HangGuard guard(disk, 180s);
    const TempFolder folder(disk);
    const TempFolder scratch;
    const std::string source = folder / "f";
    const std::string bytes = PatternBytes(30'000'000, 17);
    WriteFileBytes(source, bytes);
    const auto run = [&](const std::vector<std::string>& arguments) {
        return ProgramProcess(CliProgram(), arguments, scratch.Path(),
                              testing::BuiltProgramLauncher())
            .Wait(2min);
    };
    ProgramRun split = run({"decouper", source, "7"});
    ASSERT_EQ(split.status, 0) << split.err;
    RemoveFile(source);
    std::map<std::uint64_t, std::string> pieces;
    for (std::uint64_t number = 1; number <= 5; ++number) {
        pieces[number] = ReadFileBytes(PieceName(source, number));
    }

    const ProgramRun join = run({"regrouper", PieceName(source, 1)});
    if (join.status == 0) {
        EXPECT_EQ(join.err, "");
        EXPECT_TRUE(FileExists(source) && ReadFileBytes(source) == bytes)
            << "the join said it succeeded; " << source << " holds " << FileSize(source)
            << " bytes";
        EXPECT_EQ(folder.Names(), std::vector<std::string>{"f"});
        return;
    }
    EXPECT_EQ(join.status, 1) << join.err;
    EXPECT_TRUE(join.err.starts_with(kCliPrefix) && join.err.find(source) != std::string::npos)
        << "the stop names neither the file nor its cause: " << join.err;
    // Nothing deleted: every piece after the first as it was, the first one's
    // bytes under its name or the destination's.
    for (std::uint64_t number = 2; number <= 5; ++number) {
        const std::string piece = PieceName(source, number);
        EXPECT_TRUE(FileExists(piece) && ReadFileBytes(piece) == pieces[number]) << piece;
    }
    const std::string firstName = PieceName(source, 1);
    const bool firstThere = FileExists(firstName) && ReadFileBytes(firstName) == pieces[1];
    const bool inDestination = FileExists(source) && ReadFileBytes(source) == pieces[1];
    EXPECT_TRUE(firstThere || inDestination) << "the first piece's bytes are lost";
}

}  // namespace
}  // namespace morcelix
