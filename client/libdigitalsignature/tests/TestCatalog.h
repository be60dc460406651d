// A catalog of the build in the prefix's catalog database for one test.
//
// Wine 8 checks a catalog signer's chain as of the signer's countersigned
// time, and as of 1 January 1601 without one, so every catalog without a
// time-stamp counts as expired. The installed copy therefore gets an
// unverified countersignature (Wine verifies none) carrying the current
// time; the database, the hash, the catalog's signature and its signer stay
// Wine's own.
#pragma once

#include <string>

namespace DSTEST {

class CInstalledCatalog {
public:
    // `catalogFile`: full path of a catalog made by the build.
    explicit CInstalledCatalog(const std::wstring& catalogFile);
    ~CInstalledCatalog();
    CInstalledCatalog(const CInstalledCatalog&) = delete;
    CInstalledCatalog& operator=(const CInstalledCatalog&) = delete;

    bool Added() const { return m_added; }

private:
    bool m_added = false;
};

}  // namespace DSTEST
