#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>

#include "RestOverHid/CameraProtocol.h"
#include "test_util.h"

namespace {

std::string Made(const char* name) {
    return test_util::ReadFile(std::string(VESK_CAMERA_FILES_DIR) + "/" + name);
}

std::string Hex(const char* format, unsigned vendor, unsigned product) {
    char text[96];
    std::snprintf(text, sizeof text, format, vendor, product);
    return text;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace

// The files the build writes from their templates name every camera model as their readers
// see it: udev and the postinst compare the ids sysfs shows (lower-case hex), AppStream the
// kernel's modalias (upper-case); the rule grants both nodes of each model, and no template name
// is left unfilled.
TEST(CameraFiles, NameEveryModelAsItsReadersSeeIt) {
    const std::string rule = Made("60-vesk-audio-service.rules");
    const std::string metainfo = Made("com.vesk.AudioService.metainfo.xml");
    const std::string postinst = Made("vesk-audio-service.postinst");
    const size_t models = std::size(vesk::kCameraProductIds);
    for (const uint16_t model : vesk::kCameraProductIds) {
        const std::string ids =
            Hex("idVendor}==\"%04x\", ATTRS{idProduct}==\"%04x\"", vesk::kVendorId, model);
        EXPECT_EQ(Count(rule, "SUBSYSTEM==\"hidraw\", ATTRS{" + ids +
                                  ", GROUP=\"vesk-audio\", MODE=\"0660\", TAG+=\"uaccess\"\n"),
                  1u);
        EXPECT_EQ(Count(rule, "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", " +
                                  Hex("ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\"",
                                      vesk::kVendorId, model) +
                                  ", GROUP=\"vesk-audio\", MODE=\"0660\", TAG+=\"uaccess\"\n"),
                  1u);
        EXPECT_EQ(
            Count(metainfo, Hex("<modalias>usb:v%04Xp%04Xd*</modalias>", vesk::kVendorId, model)),
            1u);
        EXPECT_EQ(Count(postinst, Hex(" %04x:%04x) ;;\n", vesk::kVendorId, model)), 1u);
    }
    EXPECT_EQ(Count(rule, "SUBSYSTEM=="), 2 * models);
    EXPECT_EQ(Count(metainfo, "<modalias>"), models);
    for (const std::string* made : {&rule, &metainfo, &postinst}) {
        EXPECT_EQ(made->find('@'), std::string::npos) << *made;
    }
}
