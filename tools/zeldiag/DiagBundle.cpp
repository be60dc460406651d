#include "DiagBundle.h"

#include <windows.h>

#include "PathLinks.h"
#include "RegistryText.h"
#include "SigCheckReport.h"
#include "UniqueHandle.h"

namespace {

constexpr DWORD kMaxSettingsBytes = 1 << 20;

std::wstring Inside(const std::wstring& folder, const std::wstring& name) {
    return folder + (folder.back() == L'\\' ? L"" : L"\\") + name;
}

bool WriteNewFile(const std::wstring& path, const std::string& bytes) {
    // CREATE_NEW: a file that appeared meanwhile is never written through.
    UTIL::unique_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0],
                            size, nullptr, nullptr);
    return bytes;
}

// The file's bytes, read only when it is a plain file of its own below the
// product folder: a link planted there could point outside the
// installation; a link above it (the product behind a junction) is the
// administrator's.
bool ReadInstallationFile(const UTIL::CTrustedRoot& product, const std::wstring& path,
                          std::string& bytes) {
    UTIL::unique_handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file || !UTIL::IsSinglePlainFileBelow(file.get(), product, path.c_str())) return false;
    LARGE_INTEGER size = {};
    if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kMaxSettingsBytes) return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), &bytes[0], static_cast<DWORD>(bytes.size()), &read, nullptr) &&
            read == bytes.size());
}

class CBundleWriter {
public:
    CBundleWriter(const std::wstring& folder, const std::wstring& product)
        : m_folder(folder), m_product(product.c_str()) {}

    void Text(const std::wstring& name, const std::wstring& text) { Bytes(name, Utf8(text)); }
    void Bytes(const std::wstring& name, const std::string& bytes) {
        if (!WriteNewFile(Inside(m_folder, name), bytes)) Failed(name);
    }
    void Copy(const std::wstring& name, const std::wstring& source) {
        std::string bytes;
        if (ReadInstallationFile(m_product, source, bytes))
            Bytes(name, bytes);
        else
            Failed(name + L" (" + source + L" not read: missing, a link or over 1 MiB)");
    }
    const std::wstring& Error() const { return m_error; }

private:
    void Failed(const std::wstring& what) {
        if (m_error.empty()) m_error = L"bundle file " + what + L" not written";
    }

    std::wstring m_folder;
    UTIL::CTrustedRoot m_product;
    std::wstring m_error;
};

}  // namespace

bool CreateBundleFolder(const std::wstring& folder, std::wstring& error) {
    if (!CreateDirectoryW(folder.c_str(), nullptr)) {
        const DWORD code = GetLastError();
        error = code == ERROR_ALREADY_EXISTS
                    ? L"the bundle folder " + folder + L" exists already: give a new folder"
                    : L"the bundle folder " + folder + L" cannot be created (error " +
                          std::to_wstring(code) + L")";
        return false;
    }
    return true;
}

bool WriteBundle(const std::wstring& folder, const Installation& installation,
                 const BundleContent& content, std::wstring& error) {
    CBundleWriter writer(folder, installation.product);
    writer.Text(L"report.txt", content.reportText);
    writer.Text(L"report.json", content.reportJson);
    writer.Copy(L"stvZelSvr.ini", installation.product + L"Private\\stvZelSvr.ini");
    writer.Copy(L"StUninst.ini", installation.product + L"StUninst.ini");
    writer.Text(L"registry.txt", FormatServiceRegistry());
    writer.Text(L"dumps.txt", FormatDumpList(content.dumps->dumps));
    for (const FileReport& report : content.files->reports) {
        const std::wstring name = report.fullPath.substr(report.fullPath.find_last_of(L'\\') + 1);
        writer.Text(L"sigcheck-" + name + L".json",
                    FormatJson(report, content.files->context, kMakerFlags, false));
    }
    error = writer.Error();
    return error.empty();
}
