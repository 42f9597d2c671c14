// The records the host builds, read the way the component library reads them: the two sides share
// only the layout in zeph_records.h, so a fault on either side shows here.
#include "host_records.h"
#include "zeph_notify.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Word n of a record, as a pointer-sized slot.
const char* pointerWord(const void* record, int n) {
    const char* p = nullptr;
    std::memcpy(&p, static_cast<const char*>(record) + n * sizeof(void*), sizeof p);
    return p;
}

std::string words(int n, const char* separator) {
    std::string text;
    for (int i = 0; i < n; ++i)
        text += (i ? separator : "") + std::string("w") + std::to_string(i);
    return text;
}

} // namespace

TEST(host_records, button_event_splits_as_the_component_parser_does) {
    const std::string texts[] = {"",
                                 "alarm=ack",
                                 "alarm=",
                                 "=2",
                                 "reset",
                                 "a.b.c=v.w",
                                 "k=v=w",
                                 ".x=1",
                                 "a..b",
                                 "alarm=12",
                                 words(32, ".") + "=v",
                                 words(33, ".") + "=v"};
    for (const std::string& text : texts) {
        zeph::host::ButtonRecord record("1", "ActionAll", text);
        const parentNotify parsed(text.c_str());
        buttonNotify view(record.get());
        EXPECT_STREQ(view.panelId(), "1");
        EXPECT_STREQ(view.controlId(), "ActionAll");
        EXPECT_STREQ(view.eventCommand(), parsed.command) << text;
        EXPECT_STREQ(view.eventValue(), parsed.value) << text;
        // Word 0 and word 33 of the event record, read by position alone.
        EXPECT_STREQ(pointerWord(record.get()->event, 0), parsed.command) << text;
        EXPECT_STREQ(pointerWord(record.get()->event, 33), parsed.value) << text;
        for (int i = 0; i < 32; ++i)
            EXPECT_STREQ(pointerWord(record.get()->event, 1 + i), parsed.sub[i])
                << text << " " << i;
    }
}

TEST(host_records, text_records_put_their_words_and_text_where_the_views_read_them) {
    const std::vector<char> rev = zeph::host::revertiveRecord(5, 40, "Camera 1");
    const revertiveNotify r(rev.data());
    EXPECT_EQ(r.device(), 5);
    EXPECT_EQ(r.index(), 40);
    EXPECT_STREQ(r.text(), "Camera 1");
    EXPECT_EQ(rev.size(), ZEPH_RECORD_SIZE(8));

    const std::vector<char> db = zeph::host::databaseRecord(6, 2, 12, "");
    const revertiveNotify d(db.data());
    EXPECT_EQ(d.device(), 6);
    EXPECT_EQ(d.database(), 2);
    EXPECT_EQ(d.entry(), 12);
    EXPECT_STREQ(d.text(), "");
}
