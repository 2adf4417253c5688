// The files a capture writes: each goes to a temporary name in the output
// folder and is renamed once complete, so that a full disk, an error or an
// interrupt never leaves a truncated file under its final name; an
// existing file is replaced only when asked.
#ifndef VORA_TOOL_OUTPUT_FILES_H
#define VORA_TOOL_OUTPUT_FILES_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vora_tool {

class OutputFiles {
public:
    OutputFiles(std::string directory, bool overwrite) : dir_(std::move(directory)), overwrite_(overwrite) {}

    // A name of an earlier capture that the folder holds already, or empty.
    std::string earlier_capture() const;

    // Calls write(temporary path), which answers true or sets *error, then
    // gives the file its name. False with "writing PATH: reason" in *error.
    bool write(const std::string& name, const std::function<bool(const std::string&, std::string*)>& write,
               std::string* error);
    // The same for bytes in memory.
    bool write_bytes(const std::string& name, const void* data, size_t size, std::string* error);
    // A file of lines (JSON Lines), written whole; nothing when there are none.
    bool write_lines(const std::string& name, const std::vector<std::string>& lines, std::string* error);

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    const std::vector<std::string>& written() const { return written_; }

private:
    std::string dir_;
    bool overwrite_;
    std::vector<std::string> written_;  // full paths, in order
};

// mkdir -p; false when path is not a directory afterwards.
bool make_directory(const std::string& path);
// The folder a capture writes into: made, and (without overwrite) holding
// no files of an earlier capture. False after saying why.
bool prepare_capture_directory(const std::string& path, bool overwrite);

// The result a capture's summary gives: interrupted, camera lost, failed or ok.
std::string capture_result(bool interrupted, bool lost, bool failed);

// A library writer's failure: the system's reason when it left one in
// errno, else the library's status text.
std::string write_failure(int status, int error);

}  // namespace vora_tool

#endif
