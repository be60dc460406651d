// Every read of a verification goes through the file held for it: a path
// that leads elsewhere once the file is held changes nothing of the verdict,
// and WinTrust is given the held file (a handle on it) and its path.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "FileIoTestSupport.h"
#include "HeldFile.h"
#include "SignatureParts.h"
#include "multiplesigncheck.h"

namespace {

using FILEIOTEST::Fixture;
using FILEIOTEST::WinVerifyCall;

// held/dir/sample.dll is the maker's library; once it is held, the folder
// goes aside and another one with another signer's library takes its name.
struct Swap {
    std::wstring dir = Fixture(L"held_") + std::to_wstring(GetCurrentProcessId());
    std::wstring aside = dir + L".aside";
    std::wstring other = dir + L".other";
    std::wstring file = dir + L"\\sample.dll";

    bool Make() const {
        return CreateDirectoryW(dir.c_str(), nullptr) && CreateDirectoryW(other.c_str(), nullptr) &&
               CopyFileW(Fixture(L"sample-karvelo.dll").c_str(), file.c_str(), TRUE) &&
               CopyFileW(Fixture(L"sample-other.dll").c_str(), (other + L"\\sample.dll").c_str(),
                         TRUE);
    }
    bool Repoint() const {
        return MoveFileW(dir.c_str(), aside.c_str()) && MoveFileW(other.c_str(), dir.c_str());
    }
    ~Swap() {
        for (const std::wstring& folder : {dir, aside, other}) {
            DeleteFileW((folder + L"\\sample.dll").c_str());
            RemoveDirectoryW(folder.c_str());
        }
    }
};

TEST(fileio_HeldFile, VerdictIsAboutTheHeldFileWhereverThePathLeadsAfterwards) {
    const Swap swap;
    ASSERT_TRUE(swap.Make());
    FILEIOTEST::CScriptedPlatform platform;
    CVerifyFileSignV2 verifier;
    ASSERT_TRUE(
        verifier.LoadKorvalisAndUpdatePublicKeyList(Fixture(L"korvalis-karvelo.dll").c_str()));
    // Hash-only answers as Windows gives them, about the maker's library.
    const std::wstring genuine = swap.aside + L"\\sample.dll";
    platform.ScriptWinVerifyTrust([&](const WinVerifyCall& call, DS::SignatureSettings*) {
        return ZELTEST::HashOnlyStatusAsOnWindows(genuine, call.index);
    });

    const UTIL::unique_handle held(CreateFileW(swap.file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    BY_HANDLE_FILE_INFORMATION heldInfo{};
    ASSERT_TRUE(GetFileInformationByHandle(held.get(), &heldInfo));
    ASSERT_TRUE(swap.Repoint());
    // The path now names another signer's library.
    EXPECT_FALSE(verifier.IntegrityCheckForKorvalis(swap.file.c_str()));

    WINTRUST_DATA record{};
    record.cbStruct = sizeof(record);
    record.dwUIChoice = WTD_UI_NONE;
    record.dwUnionChoice = WTD_CHOICE_FILE;
    platform.calls.clear();
    {
        const DS::CHeldFileScope scope(swap.file.c_str(), held.get());
        EXPECT_TRUE(verifier.VerifyEmbeddedSignatureByCertInfo(swap.file.c_str(), &record, 0));
        PublicKeyBytes key;
        std::wstring signer;
        std::vector<PublicKeyBytes> nested;
        EXPECT_TRUE(verifier.VerifySignatureAndGetCertInfo(swap.file.c_str(), key, signer, nested));
        EXPECT_EQ(signer, L"Karvelo, Inc.");
    }
    const ULONGLONG heldIndex =
        (static_cast<ULONGLONG>(heldInfo.nFileIndexHigh) << 32) | heldInfo.nFileIndexLow;
    size_t verifications = 0;
    for (const WinVerifyCall& call : platform.calls) {
        if (call.stateAction == WTD_STATEACTION_CLOSE) continue;
        ++verifications;
        EXPECT_EQ(call.path, swap.file);
        EXPECT_EQ(call.fileIndex, heldIndex);
        EXPECT_EQ(call.volumeSerial, heldInfo.dwVolumeSerialNumber);
    }
    EXPECT_EQ(verifications, 1u);
}

// Empty when the platform cannot tell.
std::optional<ULONGLONG> FileIndexOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
    return (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

// A check may name the held path in another spelling than the holder did:
// it still reads the held file (the path is normalized for that lookup only),
// also through a scope of its own; a path the scope does not hold is opened
// as it stands.
TEST(fileio_HeldFile, EverySpellingOfTheHeldPathReadsTheHeldFile) {
    const Swap swap;
    ASSERT_TRUE(swap.Make());
    const UTIL::unique_handle held(CreateFileW(swap.file.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    const std::optional<ULONGLONG> heldIndex = FileIndexOf(held.get());
    ASSERT_TRUE(heldIndex.has_value());
    ASSERT_TRUE(swap.Repoint());
    const std::wstring folderName = swap.dir.substr(swap.dir.rfind(L'\\') + 1);
    std::wstring upper = swap.file;
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    const std::vector<std::wstring> spellings = {
        swap.file, upper, swap.dir + L"\\..\\" + folderName + L"\\sample.dll",
        swap.dir + L"\\.\\sample.dll"};
    for (const std::wstring& holder : spellings) {
        const DS::CHeldFileScope scope(holder.c_str(), held.get());
        for (const std::wstring& reader : spellings) {
            SCOPED_TRACE(std::string(holder.begin(), holder.end()) + " read as " +
                         std::string(reader.begin(), reader.end()));
            // A check that holds the path itself (as the path-taking entry
            // points do) finds it held further out and opens nothing.
            const DS::CHeldFileScope inner(reader.c_str());
            const UTIL::unique_handle read = DS::OpenFileForCheck(reader.c_str());
            ASSERT_TRUE(read);
            EXPECT_EQ(FileIndexOf(read.get()), heldIndex);
        }
    }
    // Another file, unheld: opened as it stands.
    const DS::CHeldFileScope scope(swap.file.c_str(), held.get());
    const std::wstring other = Fixture(L"sample-other.dll");
    const UTIL::unique_handle direct(CreateFileW(other.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                 nullptr, OPEN_EXISTING, 0, nullptr));
    const UTIL::unique_handle unheld = DS::OpenFileForCheck(other.c_str());
    ASSERT_TRUE(direct);
    ASSERT_TRUE(unheld);
    EXPECT_EQ(FileIndexOf(unheld.get()), FileIndexOf(direct.get()));
}

}  // namespace
