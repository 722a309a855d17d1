#include <gtest/gtest.h>
#include <vexo/controls.h>

extern "C" size_t cCtrlRecordSize(void);
extern "C" size_t cCtrlRecordNameOffset(void);
extern "C" size_t cCtrlRecordScriptOffset(void);

namespace {

TEST(ControlsLayoutTest, CCallersSeeTheSameRecord) {
    EXPECT_EQ(cCtrlRecordSize(), sizeof(CtrlRecord));
    EXPECT_EQ(cCtrlRecordNameOffset(), offsetof(CtrlRecord, name));
    EXPECT_EQ(cCtrlRecordScriptOffset(), offsetof(CtrlRecord, script));
}

}  // namespace
