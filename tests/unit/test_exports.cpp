// The shared library exports exactly what the public headers declare.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::set<std::string> declared()
{
    std::set<std::string> names;
    const std::regex function(R"(VORA_API\s+[^;(]*?\b(\w+)\s*\()");
    const std::regex data(R"(extern\s+VORA_API\s+[^;(]*?\b(\w+)\s*;)");
    for (const char* header : {"vora_qelcamera_api.h", "vora_qelcamera_api_csharp.h", "vora_globals.h"}) {
        std::ifstream in(std::string(VORA_SOURCE_DIR) + "/include/" + header);
        std::stringstream text;
        text << in.rdbuf();
        const std::string s = text.str();
        for (const std::regex* re : {&function, &data})
            for (std::sregex_iterator it(s.begin(), s.end(), *re), end; it != end; ++it)
                names.insert((*it)[1]);
    }
    return names;
}

std::set<std::string> exported()
{
    std::set<std::string> names;
    const std::string command = std::string("nm -DC --defined-only ") + VORA_LIBRARY_PATH;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return names;
    char line[4096];
    while (fgets(line, sizeof line, pipe)) {
        std::string l(line);
        // "<address> <type> <name>"; weak symbols are the runtime's, not ours.
        std::istringstream fields(l);
        std::string address, type, name;
        fields >> address >> type;
        std::getline(fields, name);
        name = name.substr(name.find_first_not_of(' '));
        if (!name.empty() && name.back() == '\n')
            name.pop_back();
        if (type == "w" || type == "W" || type == "V" || type == "v" || type == "A")
            continue;
        if (name.compare(0, 2, "__") == 0)
            continue;  // a sanitizer's own bookkeeping
        names.insert(name.substr(0, name.find('(')));
    }
    pclose(pipe);
    return names;
}

TEST(Exports, MatchTheHeaders)
{
    const std::set<std::string> want = declared();
    const std::set<std::string> have = exported();
    ASSERT_GT(want.size(), 20u);
    for (const std::string& name : want)
        EXPECT_TRUE(have.count(name)) << "declared but not exported: " << name;
    for (const std::string& name : have)
        EXPECT_TRUE(want.count(name)) << "exported but not declared: " << name;
}

}  // namespace
