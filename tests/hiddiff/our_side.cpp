// Our side of the comparison: the platform layer exactly as the relay
// meets it, over a fake hidraw tree whose one node's descriptor changes
// from case to case.
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "hiddiff/sides.h"
#include "platform/platform.h"
#include "platform/posix/device_roots.h"
#include "support/fake_hidraw.h"

const char* const kCapsFieldNames[kCapsFields] = {
    "UsagePage", "Usage", "InputReportByteLength", "OutputReportByteLength",
    "FeatureReportByteLength", "NumberLinkCollectionNodes", "NumberInputButtonCaps",
    "NumberInputValueCaps", "NumberInputDataIndices", "NumberOutputButtonCaps",
    "NumberOutputValueCaps", "NumberOutputDataIndices", "NumberFeatureButtonCaps",
    "NumberFeatureValueCaps", "NumberFeatureDataIndices", "(collection InputLength)"};

struct OurSide::Tree {
    // A file system in memory where there is one: the descriptor is
    // rewritten for every case.
    FakeHidTree fake{access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp"};
};

OurSide::OurSide() : tree_(new Tree), ok_(false) {
    ok_ = tree_->fake.ok() && tree_->fake.AddDevice(0, 0x046D, 0xC630, Bytes{0x05, 0x01}) &&
          SetHidDeviceRoots(tree_->fake.HidrawDir().c_str(), tree_->fake.DevDir().c_str());
}

OurSide::~OurSide() {
    SetHidDeviceRoots(nullptr, nullptr);
    delete tree_;
}

namespace {

void FillCaps(const HIDP_CAPS& c, CollectionResult* r) {
    const uint16_t fields[kCapsFields] = {
        c.UsagePage, c.Usage, c.InputReportByteLength, c.OutputReportByteLength,
        c.FeatureReportByteLength, c.NumberLinkCollectionNodes, c.NumberInputButtonCaps,
        c.NumberInputValueCaps, c.NumberInputDataIndices, c.NumberOutputButtonCaps,
        c.NumberOutputValueCaps, c.NumberOutputDataIndices, c.NumberFeatureButtonCaps,
        c.NumberFeatureValueCaps, c.NumberFeatureDataIndices, c.InputReportByteLength};
    memcpy(r->caps, fields, sizeof fields);
}

}  // namespace

SideResult OurSide::Run(const CaseInput& input) {
    SideResult result{};
    result.answers.resize(input.reports.size());
    if (!tree_->fake.SetDescriptor(0, input.whole)) {
        result.refused = true;
        return result;
    }
    GUID hid;
    HidD_GetHidGuid(&hid);
    HDEVINFO list = SetupDiGetClassDevsA(&hid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) {
        result.refused = true;
        return result;
    }
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data;
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(list, nullptr, &hid, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS) break;
            continue;
        }
        DWORD needed = 0;
        SetupDiGetDeviceInterfaceDetailA(list, &data, nullptr, 0, &needed, nullptr);
        std::vector<char> block(needed ? needed : 1);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!needed || !SetupDiGetDeviceInterfaceDetailA(list, &data, detail, needed, nullptr, nullptr)) {
            continue;
        }
        HANDLE handle = CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr);
        if (handle == INVALID_HANDLE_VALUE) continue;
        PHIDP_PREPARSED_DATA preparsed = nullptr;
        if (HidD_GetPreparsedData(handle, &preparsed)) {
            const int collection = static_cast<int>(result.collections.size());
            CollectionResult r{};
            HIDP_CAPS caps;
            memset(&caps, 0, sizeof caps);
            r.capsStatus = static_cast<uint32_t>(HidP_GetCaps(preparsed, &caps));
            FillCaps(caps, &r);
            result.collections.push_back(r);
            std::vector<char> buffer(caps.InputReportByteLength);
            for (size_t i = 0; i < input.reports.size(); ++i) {
                if (input.reportCollection[i] != collection) continue;
                const Bytes& report = input.reports[i];
                std::fill(buffer.begin(), buffer.end(), 0);
                // A collection may have no input report at all: no bytes.
                std::copy_n(report.begin(), std::min(report.size(), buffer.size()), buffer.begin());
                std::vector<Answer>& answers = result.answers[i];
                for (const UsageQuery& q : input.queries) {
                    ULONG value = 0;
                    const NTSTATUS s = HidP_GetUsageValue(HidP_Input, q.page, q.link, q.usage, &value,
                                                          preparsed, buffer.data(),
                                                          static_cast<ULONG>(buffer.size()));
                    answers.push_back(Answer{static_cast<uint32_t>(s),
                                             s == HIDP_STATUS_SUCCESS ? static_cast<uint32_t>(value) : 0});
                }
            }
            HidD_FreePreparsedData(preparsed);
        }
        CloseHandle(handle);
    }
    SetupDiDestroyDeviceInfoList(list);
    result.refused = result.collections.empty();
    return result;
}
