#include "hiddiff/tolerated.h"

const Tolerance* FindTolerance(const std::string& cls, const DescriptorOutline& outline) {
    (void)cls;
    (void)outline;
    return nullptr;
}
