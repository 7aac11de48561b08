#include "tests/support/temp_folder.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "pieces/file_stream.h"

namespace fs = std::filesystem;

namespace morcelix::testing {

namespace {

std::string ToUtf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string UniqueFolder(const fs::path& root) {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    const fs::path folder =
        root / ("morcelix-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(folder);
    return ToUtf8(folder);
}

}  // namespace

fs::path NativePath(const std::string& path) {
    return fs::path(std::u8string(path.begin(), path.end()));
}

TempFolder::TempFolder() : path_(UniqueFolder(fs::temp_directory_path())) {}

TempFolder::TempFolder(const std::string& root) : path_(UniqueFolder(NativePath(root))) {}

TempFolder::~TempFolder() {
    std::error_code ignored;
    fs::remove_all(NativePath(path_), ignored);
}

std::string TempFolder::operator/(const std::string& name) const {
    return ToUtf8(NativePath(path_) / NativePath(name));
}

std::vector<std::string> TempFolder::Names() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(NativePath(path_))) {
        names.push_back(ToUtf8(entry.path().filename()));
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::pair<std::string, std::string>> TempFolder::Snapshot() const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& name : Names()) {
        // Only a regular file is read: reading a FIFO would wait for a writer.
        const bool regular = fs::is_regular_file(NativePath(*this / name));
        files.emplace_back(name, regular ? ReadFileBytes(*this / name) : "(not a file)");
    }
    return files;
}

std::string PatternBytes(std::int64_t size, unsigned seed) {
    std::string bytes(static_cast<size_t>(size), '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<char>(state >> 24);
    }
    return bytes;
}

void MakeSparseFile(const std::string& path, std::int64_t size) {
    TFileStream(path, OpenMode::Create).SetSize(size);
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(NativePath(path), std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        throw std::runtime_error("test could not write " + path);
    }
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream file(NativePath(path), std::ios::binary | std::ios::ate);
    if (!file) {
        throw std::runtime_error("test could not read " + path);
    }
    std::string bytes(static_cast<std::size_t>(file.tellg()), '\0');
    file.seekg(0);
    file.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!file) {
        throw std::runtime_error("test could not read " + path);
    }
    return bytes;
}

bool PathExists(const std::string& path) {
    std::error_code ignored;
    return fs::exists(NativePath(path), ignored);
}

void MakeFolder(const std::string& path) {
    fs::create_directories(NativePath(path));
}

namespace {

// The folder named by an environment variable (a Unix path, reached through
// Z: under Wine); "" when it is unset.
std::string FolderFromEnvironment(const char* variable) {
    const char* unixPath = std::getenv(variable);
    if (unixPath == nullptr || *unixPath == '\0') {
        return {};
    }
#ifdef _WIN32
    std::string path = std::string("Z:") + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
#else
    return unixPath;
#endif
}

}  // namespace

std::string SmallDiskFolder() {
    return FolderFromEnvironment("MORCELIX_SMALL_DISK");
}

std::string FatDiskFolder() {
    return FolderFromEnvironment("MORCELIX_FAT_DISK");
}

}  // namespace morcelix::testing
