// Links planted as another user of the machine would plant them. Under Wine
// the stand-in for a junction or a symbolic link is a Unix symlink, made and
// removed on the Unix side: a Windows deletion of such a link deletes its
// target and leaves the link.
#pragma once

#include <string>
#include <vector>

namespace ZELTEST {

// The Unix path of a Windows path whose folder exists; empty when Wine gives
// none.
std::string UnixPathOf(const std::wstring& windowsPath);

// Symlinks made for one test and removed (the links, never their targets)
// when the object goes.
class CPlantedLinks {
public:
    CPlantedLinks() = default;
    ~CPlantedLinks();
    CPlantedLinks(const CPlantedLinks&) = delete;
    CPlantedLinks& operator=(const CPlantedLinks&) = delete;

    // Queues `link` -> `target` (both Windows paths); Plant makes them all
    // in one Unix process.
    void Add(const std::wstring& target, const std::wstring& link);
    bool Plant();
    // Removes the links planted so far (the destructor does it too).
    void RemoveAll();

private:
    std::vector<std::string> m_links;
    std::string m_script;
};

// Runs the lines in /bin/sh, one Unix process; true when it exits with 0.
bool RunUnixShell(const std::string& script);

}  // namespace ZELTEST
