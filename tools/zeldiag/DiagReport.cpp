#include "DiagReport.h"

const wchar_t* StatusName(CheckStatus status) {
    switch (status) {
        case CheckStatus::Ok:
            return L"OK";
        case CheckStatus::Warn:
            return L"WARN";
        case CheckStatus::Fail:
            break;
    }
    return L"FAIL";
}

CheckLine Ok(const std::wstring& name, const std::wstring& found) {
    return {CheckStatus::Ok, name, found, L""};
}

CheckLine Warn(const std::wstring& name, const std::wstring& found, const std::wstring& todo) {
    return {CheckStatus::Warn, name, found, todo};
}

CheckLine Fail(const std::wstring& name, const std::wstring& found, const std::wstring& todo) {
    return {CheckStatus::Fail, name, found, todo};
}

CheckLine NeedsAdministrator(const std::wstring& name, const std::wstring& what) {
    return Warn(name, what + L": needs administrator rights",
                L"run zeldiag as an administrator to make this check");
}

CheckStatus Worse(CheckStatus left, CheckStatus right) {
    return static_cast<int>(left) > static_cast<int>(right) ? left : right;
}

std::wstring JoinParts(const std::vector<std::wstring>& parts) {
    std::wstring joined;
    for (const std::wstring& part : parts) {
        if (part.empty()) continue;
        if (!joined.empty()) joined += L"; ";
        joined += part;
    }
    return joined;
}
