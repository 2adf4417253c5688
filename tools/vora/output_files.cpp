// Output files of a capture.
#include "output_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>

#include "common.h"

namespace vora_tool {

namespace {

// A FILE that reports the reason of the first failure, close included.
class File {
public:
    File(const std::string& path, std::string* error) : error_(error)
    {
        f_ = std::fopen(path.c_str(), "wb");
        if (!f_)
            *error_ = errno_text(errno);
    }
    ~File()
    {
        if (f_)
            std::fclose(f_);
    }
    bool ok() const { return f_ && error_->empty(); }
    void put(const void* data, size_t size)
    {
        if (ok() && std::fwrite(data, 1, size, f_) != size)
            *error_ = errno_text(errno);
    }
    bool close()
    {
        if (!f_)
            return false;
        FILE* f = f_;
        f_ = nullptr;
        if (std::fclose(f) != 0 && error_->empty())
            *error_ = errno_text(errno);
        return error_->empty();
    }

private:
    FILE* f_ = nullptr;
    std::string* error_;
};

}  // namespace

std::string OutputFiles::earlier_capture() const
{
    static const std::regex ours(
        R"((ch\d+_\d+|fused_ch\d+|set_\d+_.+_ch\d+)[._].*|(frames|sets)\.jsonl|summary\.json)");
    std::string found;
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d))
            if (found.empty() && std::regex_match(e->d_name, ours))
                found = e->d_name;
        closedir(d);
    }
    return found;
}

bool OutputFiles::write(const std::string& name, const std::function<bool(const std::string&, std::string*)>& write,
                        std::string* error)
{
    const std::string final_path = path(name);
    const std::string temporary = path("." + name + "." + std::to_string(getpid()) + ".tmp");
    std::string reason;
    bool ok = write(temporary, &reason);
    if (ok) {
        int status = 0;
        if (overwrite_) {
            status = std::rename(temporary.c_str(), final_path.c_str());
        } else {
            status = renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, final_path.c_str(), RENAME_NOREPLACE);
            // A file system without the flag: a hard link refuses to replace, too.
            if (status != 0 && (errno == EINVAL || errno == ENOSYS)) {
                status = link(temporary.c_str(), final_path.c_str());
                if (status == 0)
                    unlink(temporary.c_str());
            }
        }
        if (status != 0) {
            reason = errno == EEXIST ? "the file exists already (--overwrite replaces files)" : errno_text(errno);
            ok = false;
        }
    }
    if (!ok) {
        unlink(temporary.c_str());
        *error = "writing " + final_path + ": " + (reason.empty() ? "failed" : reason);
        return false;
    }
    written_.push_back(final_path);
    return true;
}

bool OutputFiles::write_bytes(const std::string& name, const void* data, size_t size, std::string* error)
{
    return write(
        name,
        [&](const std::string& path, std::string* reason) {
            File f(path, reason);
            f.put(data, size);
            return f.close();
        },
        error);
}

bool make_directory(const std::string& path)
{
    std::string partial;
    for (const std::string& part : vora_cli::split(path, '/')) {
        partial += part;
        if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        partial += '/';
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool OutputFiles::write_lines(const std::string& name, const std::vector<std::string>& lines, std::string* error)
{
    if (lines.empty())
        return true;
    std::string text;
    for (const std::string& line : lines)
        text += line;
    return write_bytes(name, text.data(), text.size(), error);
}

std::string capture_result(bool interrupted, bool lost, bool failed)
{
    return interrupted ? "interrupted" : lost ? "camera lost" : failed ? "failed" : "ok";
}

bool prepare_capture_directory(const std::string& path, bool overwrite)
{
    if (!make_directory(path)) {
        report("cannot create " + path + ": " + std::strerror(errno));
        return false;
    }
    const std::string earlier = overwrite ? std::string() : OutputFiles(path, false).earlier_capture();
    if (!earlier.empty()) {
        report(path + " holds files of an earlier capture (" + earlier +
               "); choose another --out, remove them, or give --overwrite");
        return false;
    }
    return true;
}

std::string write_failure(int status, int error)
{
    return error ? errno_text(error) : status_text(status);
}

}  // namespace vora_tool
