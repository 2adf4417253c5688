// Output files of a capture.
#include "output_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <regex>

#include "common.h"

namespace vora_tool {

namespace {

bool has_depth(const float* p)
{
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) && p[2] > 1e-6f;
}

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
    static const std::regex ours(R"((ch\d+_\d+|fused_ch\d+)[._].*|frames\.jsonl|summary\.json)");
    std::string found;
    if (DIR* d = opendir(dir_.c_str())) {
        while (dirent* e = readdir(d))
            if (found.empty() && std::regex_match(e->d_name, ours))
                found = e->d_name;
        closedir(d);
    }
    return found;
}

bool OutputFiles::write(const std::string& name,
                        const std::function<bool(const std::string&, std::string*)>& write, std::string* error)
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

std::string write_failure(int status, int error)
{
    return error ? errno_text(error) : status_text(status);
}

bool write_binary_ply(const std::string& path, const float* xyz, const uint8_t* rgb, size_t count,
                      std::string* error)
{
    size_t points = 0;
    for (size_t i = 0; i < count; ++i)
        points += has_depth(xyz + 3 * i);
    std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(points) +
                         "\nproperty float x\nproperty float y\nproperty float z\n";
    if (rgb)
        header += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
    header += "end_header\n";
    File f(path, error);
    f.put(header.data(), header.size());
    std::vector<uint8_t> body;
    body.reserve(points * 15);
    for (size_t i = 0; i < count; ++i) {
        if (!has_depth(xyz + 3 * i))
            continue;
        const auto* bytes = reinterpret_cast<const uint8_t*>(xyz + 3 * i);
        body.insert(body.end(), bytes, bytes + 12);  // x86-64: floats are little-endian already
        if (rgb)
            body.insert(body.end(), rgb + 3 * i, rgb + 3 * i + 3);
    }
    f.put(body.data(), body.size());
    return f.close();
}

bool write_colour_pcd(const std::string& path, const float* xyz, const uint8_t* rgb, uint32_t width,
                      uint32_t height, std::string* error)
{
    const size_t count = static_cast<size_t>(width) * height;
    char header[512];
    const int n = std::snprintf(header, sizeof header,
                                "# .PCD v0.7 - Point Cloud Data file format\n"
                                "VERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\nCOUNT 1 1 1 1\n"
                                "WIDTH %u\nHEIGHT %u\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS %zu\nDATA binary\n",
                                width, height, count);
    File f(path, error);
    f.put(header, static_cast<size_t>(n));
    const float nan = std::nanf("");
    std::vector<uint8_t> body(count * 16);
    for (size_t i = 0; i < count; ++i) {
        float point[3] = {nan, nan, nan};
        // rgb packed as 0x00RRGGBB, the float field's usual reading.
        uint32_t colour = 0;
        if (has_depth(xyz + 3 * i)) {
            std::memcpy(point, xyz + 3 * i, sizeof point);
            colour = uint32_t(rgb[3 * i]) << 16 | uint32_t(rgb[3 * i + 1]) << 8 | rgb[3 * i + 2];
        }
        std::memcpy(&body[16 * i], point, 12);
        std::memcpy(&body[16 * i + 12], &colour, 4);
    }
    f.put(body.data(), body.size());
    return f.close();
}

}  // namespace vora_tool
