// The shared library exports exactly the functions the header declares and
// the .def file lists, compared as whole names: a decorated, versioned or
// doubled name is a difference, not a match.
#include "KavIDCardAPI.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string fileText(const char *path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// "KAV_EXPORT int KAV_CALL Kav_OpenPort(int port);" and its kin.
std::multiset<std::string> headerFunctions() {
    const std::string header = fileText(KAV_API_HEADER);
    const std::regex declaration(R"(KAV_EXPORT\s[^;(]*\bKAV_CALL\s+(\w+)\s*\()");
    std::multiset<std::string> names;
    for (std::sregex_iterator it(header.begin(), header.end(), declaration), end; it != end; ++it)
        names.insert((*it)[1]);
    return names;
}

// The names after EXPORTS, one a line; ';' starts a comment.
std::multiset<std::string> defNames() {
    std::istringstream def(fileText(KAV_EXPORT_DEF));
    std::multiset<std::string> names;
    bool exports = false;
    for (std::string line; std::getline(def, line);) {
        line = line.substr(0, line.find(';'));
        std::istringstream words(line);
        std::string word;
        if (!(words >> word))
            continue;
        if (word == "EXPORTS")
            exports = true;
        else if (exports)
            names.insert(word);
    }
    return names;
}

// The dynamic symbols the library defines, as nm prints them: whole names,
// with a symbol version ("Kav_X@@V1") when there is one.
std::multiset<std::string> libraryExports() {
    const std::string command = std::string("nm -D --defined-only '") + KAV_SHARED_LIBRARY + "'";
    FILE *nm = popen(command.c_str(), "r");
    EXPECT_NE(nm, nullptr) << command;
    std::multiset<std::string> names;
    if (nm == nullptr)
        return names;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, nm) != nullptr) {
        std::istringstream line(buffer);
        std::string address, type, name;
        if (line >> address >> type >> name)
            names.insert(name);
        else
            ADD_FAILURE() << "unexpected nm line: " << buffer;
    }
    EXPECT_EQ(pclose(nm), 0) << command;
    return names;
}

} // namespace

TEST(Exports, TheSharedLibraryTheHeaderAndTheDefFileNameTheSameFunctions) {
    const std::multiset<std::string> header = headerFunctions();
    // Far fewer would mean the declarations' form changed under the pattern.
    ASSERT_GE(header.size(), 25u) << "read " << KAV_API_HEADER;
    EXPECT_EQ(std::set<std::string>(header.begin(), header.end()).size(), header.size())
        << "a function declared twice";
    EXPECT_EQ(defNames(), header) << KAV_EXPORT_DEF;
    EXPECT_EQ(libraryExports(), header) << KAV_SHARED_LIBRARY;
}

TEST(Exports, TheLibrarysNameCarriesTheHeadersMajorVersion) {
    EXPECT_EQ(std::string(KAV_SHARED_LIBRARY_SONAME),
              "libKavIDCardAPI.so." + std::to_string(KAV_VERSION_MAJOR));
}
