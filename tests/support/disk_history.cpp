#include "tests/support/disk_history.h"

#include <algorithm>
#include <filesystem>
#include <set>

#include "tests/support/temp_folder.h"

namespace morcelix::testing {

namespace fs = std::filesystem;

namespace {

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace

DiskHistory::DiskHistory(std::vector<std::string> folders, DiskChangeWatcher refuse)
    : folders_(std::move(folders)), refuse_(std::move(refuse)) {
    Take();
    for (const auto& [path, key] : moments_.back().identities) {
        durable_[key] = moments_.back().files.at(path);
    }
    moments_.pop_back();
    WatchDiskChangesForTesting([this](const DiskChange& change) { return Seen(change); });
}

DiskHistory::~DiskHistory() {
    if (watching_) {
        WatchDiskChangesForTesting({});
    }
}

void DiskHistory::Finish() {
    WatchDiskChangesForTesting({});
    watching_ = false;
    Take();
}

DiskHistory::Files DiskHistory::FilesOf(const std::vector<std::string>& folders) {
    Files files;
    for (const std::string& folder : folders) {
        for (const auto& entry : fs::directory_iterator(NativePath(folder))) {
            if (entry.is_regular_file()) {
                const std::string path = Utf8(entry.path());
                files[path] = ReadFileBytes(path);
            }
        }
    }
    return files;
}

void DiskHistory::Restore(const std::vector<std::string>& folders, const Files& files) {
    for (const std::string& folder : folders) {
        for (const auto& entry : fs::directory_iterator(NativePath(folder))) {
            fs::remove_all(entry.path());
        }
    }
    for (const auto& [path, bytes] : files) {
        WriteFileBytes(path, bytes);
    }
}

DiskHistory::Key DiskHistory::KeyOf(const FileIdentity& identity) {
    return {identity.volume, identity.file, generations_[{identity.volume, identity.file}]};
}

void DiskHistory::Take() {
    Moment moment;
    moment.files = FilesOf(folders_);
    for (const auto& [path, bytes] : moment.files) {
        if (const std::optional<FileFacts> facts = RegularFileFacts(path)) {
            moment.identities[path] = KeyOf(facts->identity);
        }
    }
    moment.durable = durable_;
    moment.unflushed = unflushed_;
    moment.lastCommit = lastCommit_;
    moments_.push_back(std::move(moment));
}

bool DiskHistory::Seen(const DiskChange& change) {
    const auto inFolders = [&](const std::string& path) {
        return std::any_of(folders_.begin(), folders_.end(),
                           [&](const std::string& folder) { return path.starts_with(folder); });
    };
    const Key file = KeyOf(change.file);
    using Kind = DiskChange::Kind;
    Take();
    const bool ofAFile =
        change.kind == Kind::Write || change.kind == Kind::Resize || change.kind == Kind::Flush;
    const bool ours =
        ofAFile ? std::any_of(moments_.back().identities.begin(), moments_.back().identities.end(),
                              [&](const auto& named) { return named.second == file; })
                : inFolders(change.path) || inFolders(change.target);
    if (!ours) {
        // Standard output, say, or a file elsewhere.
        moments_.pop_back();
        return !refuse_ || refuse_(change);
    }
    const std::size_t index = moments_.size() - 1;
    const Moment& now = moments_.back();
    // A file that goes leaves its number to the next: a new generation.
    const auto forget = [&](const std::string& path) {
        if (const auto named = now.identities.find(path); named != now.identities.end()) {
            ++generations_[{std::get<0>(named->second), std::get<1>(named->second)}];
        }
    };
    if (refuse_ && !refuse_(change)) {
        return false;
    }
    switch (change.kind) {
        case Kind::Write:
            unflushed_[file].emplace_back(change.offset, change.size);
            break;
        case Kind::Flush:
            for (const auto& [path, key] : now.identities) {
                if (key == file) {
                    durable_[file] = now.files.at(path);
                }
            }
            unflushed_.erase(file);
            lastCommit_ = index;
            break;
        case Kind::FlushFolder:
            lastCommit_ = index;
            break;
        case Kind::Remove:
            forget(change.path);
            break;
        case Kind::Rename:
            forget(change.target);
            break;
        case Kind::Create:
        case Kind::Resize:
            break;
    }
    return true;
}

std::vector<DiskHistory::Files> DiskHistory::StatesAt(std::size_t index) const {
    const Moment& moment = moments_.at(index);
    Files lost, zeros, names;
    const auto durable = [&](const Key& key) {
        const auto found = moment.durable.find(key);
        return found == moment.durable.end() ? std::string() : found->second;
    };
    for (const auto& [path, bytes] : moment.files) {
        const auto named = moment.identities.find(path);
        if (named == moment.identities.end()) {
            continue;
        }
        lost[path] = durable(named->second);
        std::string zeroed = bytes;
        if (const auto written = moment.unflushed.find(named->second);
            written != moment.unflushed.end()) {
            for (const auto& [offset, size] : written->second) {
                const auto from = static_cast<std::size_t>(std::max<std::int64_t>(offset, 0));
                const auto to = std::min(zeroed.size(), static_cast<std::size_t>(offset + size));
                if (from < to) {
                    std::fill(zeroed.begin() + static_cast<std::ptrdiff_t>(from),
                              zeroed.begin() + static_cast<std::ptrdiff_t>(to), '\0');
                }
            }
        }
        zeros[path] = zeroed;
    }
    for (const auto& [path, key] : moments_.at(moment.lastCommit).identities) {
        names[path] = durable(key);
    }
    return {moment.files, lost, zeros, names};
}

std::vector<DiskHistory::Files> DiskHistory::States() const {
    std::set<Files> states;
    for (std::size_t index = 0; index < moments_.size(); ++index) {
        for (Files& state : StatesAt(index)) {
            states.insert(std::move(state));
        }
    }
    return {states.begin(), states.end()};
}

}  // namespace morcelix::testing
