#include "TwoSignerMessage.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "FileIoTestSupport.h"

namespace FILEIOTEST {
namespace {

using Bytes = std::vector<BYTE>;

// One DER element: where it starts, where its contents start, where it ends.
struct Element {
    size_t start = 0;
    size_t contents = 0;
    size_t end = 0;
};

bool ParseElement(const Bytes& der, size_t at, size_t limit, Element& element) {
    if (at + 2 > limit) return false;
    size_t length = der[at + 1];
    size_t header = 2;
    if ((length & 0x80) != 0) {
        const size_t lengthBytes = length & 0x7F;
        if (lengthBytes == 0 || lengthBytes > 4 || at + 2 + lengthBytes > limit) return false;
        length = 0;
        for (size_t i = 0; i < lengthBytes; ++i) length = (length << 8) | der[at + 2 + i];
        header += lengthBytes;
    }
    if (at + header + length > limit) return false;
    element = {at, at + header, at + header + length};
    return true;
}

// The children of a constructed element, in order.
bool Children(const Bytes& der, const Element& parent, std::vector<Element>& children) {
    children.clear();
    for (size_t at = parent.contents; at < parent.end;) {
        Element child;
        if (!ParseElement(der, at, parent.end, child)) return false;
        children.push_back(child);
        at = child.end;
    }
    return true;
}

Bytes Wrap(BYTE tag, const Bytes& contents) {
    Bytes out{tag};
    const size_t length = contents.size();
    if (length < 0x80) {
        out.push_back(static_cast<BYTE>(length));
    } else {
        Bytes lengthBytes;
        for (size_t rest = length; rest != 0; rest >>= 8) {
            lengthBytes.insert(lengthBytes.begin(), static_cast<BYTE>(rest & 0xFF));
        }
        out.push_back(static_cast<BYTE>(0x80 | lengthBytes.size()));
        out.insert(out.end(), lengthBytes.begin(), lengthBytes.end());
    }
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
}

Bytes Slice(const Bytes& der, size_t from, size_t to) {
    return Bytes(der.begin() + static_cast<std::ptrdiff_t>(from),
                 der.begin() + static_cast<std::ptrdiff_t>(to));
}

}  // namespace

// ContentInfo { oid, [0] SignedData { ..., SignerInfos SET (last) } }, with
// the SET's one signer written twice.
Bytes WithSignerTwice(const Bytes& der) {
    Element contentInfo;
    std::vector<Element> outer;
    if (!ParseElement(der, 0, der.size(), contentInfo) || !Children(der, contentInfo, outer) ||
        outer.size() != 2) {
        return {};
    }
    std::vector<Element> explicitTag;
    std::vector<Element> signedData;
    if (!Children(der, outer[1], explicitTag) || explicitTag.size() != 1 ||
        !Children(der, explicitTag[0], signedData) || signedData.empty()) {
        return {};
    }
    std::vector<Element> signers;
    if (!Children(der, signedData.back(), signers) || signers.size() != 1) return {};
    const Bytes signer = Slice(der, signers[0].start, signers[0].end);
    Bytes twice = signer;
    twice.insert(twice.end(), signer.begin(), signer.end());

    Bytes signedContents = Slice(der, signedData.front().start, signedData.back().start);
    const Bytes signerSet = Wrap(der[signedData.back().start], twice);
    signedContents.insert(signedContents.end(), signerSet.begin(), signerSet.end());
    const Bytes signedDataElement = Wrap(der[explicitTag[0].start], signedContents);
    Bytes infoContents = Slice(der, outer[0].start, outer[0].end);
    const Bytes tagged = Wrap(der[outer[1].start], signedDataElement);
    infoContents.insert(infoContents.end(), tagged.begin(), tagged.end());
    return Wrap(der[0], infoContents);
}

namespace {

template <typename T>
T* At(Bytes& bytes, size_t offset) {
    return offset + sizeof(T) <= bytes.size() ? reinterpret_cast<T*>(bytes.data() + offset)
                                              : nullptr;
}

IMAGE_DATA_DIRECTORY* CertificateDirectory(Bytes& image) {
    const auto* dos = At<IMAGE_DOS_HEADER>(image, 0);
    if (dos == nullptr || dos->e_lfanew < 0) return nullptr;
    const size_t nt = static_cast<size_t>(dos->e_lfanew);
    const size_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    const WORD* magic = At<WORD>(image, optional);
    if (magic == nullptr) return nullptr;
    const size_t directories =
        *magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC
            ? optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory)
            : optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
    return At<IMAGE_DATA_DIRECTORY>(
        image, directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof(IMAGE_DATA_DIRECTORY));
}

}  // namespace

Bytes EmbeddedSignature(const std::wstring& file) {
    Bytes image = ReadWholeFile(file);
    const IMAGE_DATA_DIRECTORY* directory = CertificateDirectory(image);
    if (directory == nullptr || directory->VirtualAddress == 0) return {};
    const size_t derAt = static_cast<size_t>(directory->VirtualAddress) + 8;  // past WIN_CERTIFICATE's head
    const size_t end = static_cast<size_t>(directory->VirtualAddress) + directory->Size;
    Element message;
    if (end > image.size() || !ParseElement(image, derAt, end, message)) return {};
    return Slice(image, message.start, message.end);
}

}  // namespace FILEIOTEST
