#include "tools/snapscan/changes_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tools/snapscan/output.h"
#include "tools/snapscan/page_cache.h"

namespace snapscan {

namespace {

constexpr const char* kRemovedSuffix = ".removed";

// A path with runs of "/" folded and without a trailing "/".
std::string Folded(const std::string& path) {
    std::string folded;
    for (const char c : path) {
        if (c == '/' && !folded.empty() && folded.back() == '/') continue;
        folded += c;
    }
    while (folded.size() > 1 && folded.back() == '/') folded.pop_back();
    return folded;
}

// A relative path rsync and tar take as it is: no empty, "." or ".."
// component, so that a hostile name can never reach outside the share.
bool PlainRelative(const std::string& relative) {
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        const std::string part = relative.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

bool ParseChangesFormat(const std::string& text, ChangesFormat& format) {
    if (text == "nul") {
        format = ChangesFormat::kNul;
        return true;
    }
    if (text == "jsonl") {
        format = ChangesFormat::kJsonl;
        return true;
    }
    return false;
}

struct ChangesWriter::PendingFile {
    std::string destination;
    std::string temporary;
    FILE* stream = nullptr;
    uint64_t written = 0;  // bytes given to the stream
    uint64_t flushed = 0;  // of them, bytes flushed to the file
    PageCacheRelease pages{-1};
};

ChangesWriter::ChangesWriter(std::string path, ChangesFormat format, size_t shareCount)
    : m_path(std::move(path)), m_format(format), m_shareCount(shareCount) {}

ChangesWriter::~ChangesWriter() {
    m_lineWriter.reset();  // its thread writes to a file closed below
    for (const auto& file : m_files) {
        if (file->stream) std::fclose(file->stream);
        if (!file->temporary.empty()) ::unlink(file->temporary.c_str());
    }
}

std::string ChangesWriter::PathFor(const std::string& path, ChangesFormat format, size_t index,
                                   size_t shareCount) {
    if (format == ChangesFormat::kJsonl || shareCount <= 1) return path;
    return path + "." + std::to_string(index + 1);
}

bool ChangesWriter::RemoveOld(std::string& error) const {
    const size_t count = m_format == ChangesFormat::kJsonl ? 1 : std::max<size_t>(m_shareCount, 1);
    for (size_t i = 0; i < count; ++i) {
        const std::string path = PathFor(m_path, m_format, i, m_shareCount);
        for (const std::string& old : {path, path + kRemovedSuffix}) {
            if (::unlink(old.c_str()) != 0 && errno != ENOENT) {
                error = "cannot remove the old changes file " + old + ": " + std::strerror(errno);
                return false;
            }
        }
    }
    return true;
}

bool ChangesWriter::Open(const std::string& destination, PendingFile*& opened, std::string& error) {
    auto file = std::make_unique<PendingFile>();
    file->destination = destination;
    std::string pattern = destination + ".tmp.XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a file beside " + destination + ": " + std::strerror(errno);
        return false;
    }
    file->temporary = pattern;
    file->stream = ::fdopen(fd, "wb");
    if (!file->stream) {
        error = "cannot write " + pattern + ": " + std::strerror(errno);
        ::close(fd);
        ::unlink(pattern.c_str());
        return false;
    }
    // Large writes: lists of millions of entries otherwise cost a system call per 4 KiB.
    std::setvbuf(file->stream, nullptr, _IOFBF, 1 << 20);
    file->pages = PageCacheRelease(fd);
    m_files.push_back(std::move(file));
    opened = m_files.back().get();
    return true;
}

bool ChangesWriter::BeginShare(size_t index, const std::string& share, const std::string& readPath,
                               std::string& error) {
    m_shareGiven = share;
    m_share = Folded(share);
    m_readPath = Folded(readPath);
    m_listedTrees.clear();
    if (m_format == ChangesFormat::kJsonl) {
        if (!m_files.empty()) return true;  // one file for every share
        if (!Open(m_path, m_current, error)) return false;
        m_lineWriter = std::make_unique<BatchWriter>([this](const std::string& batch) {
            std::string failure;
            if (Put(*m_current, batch, failure)) return;
            std::lock_guard<std::mutex> lock(m_lineErrorMutex);
            if (m_lineError.empty()) m_lineError = failure;
        });
        return true;
    }
    const std::string path = PathFor(m_path, m_format, index, m_shareCount);
    return Open(path, m_current, error) && Open(path + kRemovedSuffix, m_removed, error);
}

bool ChangesWriter::Put(PendingFile& file, const std::string& bytes, std::string& error) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.stream) != bytes.size()) {
        error = "cannot write " + file.temporary + ": " + std::strerror(errno);
        return false;
    }
    file.written += bytes.size();
    // The file is synced before it is put in place. Lists of millions of entries would have the
    // job wait for all of them at the end; sent to the disk as the list grows, they are written
    // while the job goes on, and their pages go once they are there. Only hints: the sync at
    // the end is what makes the file durable.
    if (file.written - file.flushed >= PageCacheRelease::kStretch &&
        std::fflush(file.stream) == 0) {
        file.pages.Wrote(file.written - file.flushed);
        file.flushed = file.written;
    }
    return true;
}

bool ChangesWriter::PutPath(PendingFile& file, const std::string& relative, std::string& error) {
    std::string line = relative;
    line += '\0';
    return Put(file, line, error);
}

bool ChangesWriter::Relative(const std::string& itemPath, std::string& relative) const {
    std::string path = itemPath;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path == m_share) {
        relative = ".";
        return true;
    }
    const std::string prefix = m_share == "/" ? "/" : m_share + "/";
    if (path.compare(0, prefix.size(), prefix) != 0) return false;
    relative = path.substr(prefix.size());
    return PlainRelative(relative);
}

bool ChangesWriter::UnderListedTree(const std::string& relative) const {
    if (m_listedTrees.empty()) return false;
    for (size_t slash = relative.find('/'); slash != std::string::npos;
         slash = relative.find('/', slash + 1)) {
        if (m_listedTrees.count(relative.substr(0, slash)) != 0) return true;
    }
    return m_listedTrees.count(relative) != 0;
}

bool ChangesWriter::ListTree(const std::string& relative, std::string& error) {
    namespace fs = std::filesystem;
    if (UnderListedTree(relative)) return true;
    if (!PutPath(*m_current, relative, error)) return false;
    const std::string root = m_readPath + "/" + relative;
    std::error_code code;
    // Symbolic links are listed, never followed: the walk stays in the snapshot.
    fs::recursive_directory_iterator it(root, fs::directory_options::none, code);
    const fs::recursive_directory_iterator end;
    for (; !code && it != end; it.increment(code)) {
        const std::string& full = it->path().native();
        if (!PutPath(*m_current, relative + full.substr(root.size()), error)) return false;
    }
    if (code) {
        error = "cannot list the renamed directory " + EscapeControl(root) +
                " in the snapshot: " + code.message();
        return false;
    }
    m_listedTrees.insert(relative);
    return true;
}

bool ChangesWriter::Add(const FileServerSnapshotCompareItem& item, std::string& error) {
    if (!m_current) {
        error = "no share begun";
        return false;
    }
    if (m_format == ChangesFormat::kJsonl) {
        m_time.clear();
        m_stamps.Append(m_time);
        AppendItemJsonLine(m_lines, m_shareGiven, item, m_time);
        // A failed write shows at the next hand-off or in Commit: not per line, which would
        // take a lock per item.
        constexpr size_t kBatchBytes = 256 * 1024;
        if (m_lines.size() < kBatchBytes) return true;
        m_lineWriter->HandOff(m_lines);
        return !LineWriteFailed(error);
    }
    std::string relative;
    if (!Relative(item.path, relative)) {
        error = "the item path " + EscapeControl(item.path) + " is not below the share " +
                EscapeControl(m_share);
        return false;
    }
    std::string oldRelative;
    if (!item.oldPath.empty() && !Relative(item.oldPath, oldRelative)) {
        error = "the old path " + EscapeControl(item.oldPath) + " is not below the share " +
                EscapeControl(m_share);
        return false;
    }
    // Gone from where the base had it: removed on a mirror before the copies,
    // whatever now has that path (a new entry there is listed to be copied).
    if (item.type == 4 || !oldRelative.empty()) {
        const std::string& gone = item.type == 4 ? relative : oldRelative;
        if (gone == ".") {
            error = "the changelist removes the share's root " + EscapeControl(m_share);
            return false;
        }
        if (!PutPath(*m_removed, gone, error)) return false;
        if (item.type == 4) return true;
    }
    const bool directory = !item.path.empty() && item.path.back() == '/';
    if (item.type == 3 && directory && relative != ".") return ListTree(relative, error);
    if (UnderListedTree(relative)) return true;
    return PutPath(*m_current, relative, error);
}

bool ChangesWriter::LineWriteFailed(std::string& error) {
    std::lock_guard<std::mutex> lock(m_lineErrorMutex);
    if (m_lineError.empty()) return false;
    error = m_lineError;
    return true;
}

bool ChangesWriter::Commit(std::string& error) {
    if (m_lineWriter) {
        m_lineWriter->HandOff(m_lines);
        m_lineWriter->Drain();
        if (LineWriteFailed(error)) return false;
    }
    for (const auto& file : m_files) {
        FILE* stream = file->stream;
        file->stream = nullptr;
        bool flushed = std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
        int saved = errno;
        // A failed write-back that the page cache's release waited for is not
        // reported by fsync again.
        if (flushed && file->pages.Error() != 0) {
            flushed = false;
            saved = file->pages.Error();
        }
        const bool closed = std::fclose(stream) == 0;
        if (!flushed || !closed) {
            error =
                "cannot write " + file->temporary + ": " + std::strerror(flushed ? errno : saved);
            return false;
        }
        // The list names files of the share: as readable as the share's names are.
        if (::chmod(file->temporary.c_str(), 0600) != 0 ||
            ::rename(file->temporary.c_str(), file->destination.c_str()) != 0) {
            error = "cannot put " + file->destination + " in place: " + std::strerror(errno);
            return false;
        }
        file->temporary.clear();
    }
    return true;
}

}  // namespace snapscan
