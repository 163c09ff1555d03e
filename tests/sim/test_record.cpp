// JSON Lines records: round trip and the reasons given for malformed lines.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "record.h"
#include "simulator.h"

using namespace tarn_sim;

namespace {

std::string tempPath(const char *name) {
    return ::testing::TempDir() + name;
}

std::string reasonFor(const std::string &line) {
    Procedure p;
    std::string why;
    EXPECT_FALSE(procedureFromJson(line, &p, &why)) << line;
    return why;
}

const char *kMinimal =
    R"({"trueDistance":null,"initiator":[{"nap":1,"timestampNs":5,"steps":[{"channel":2,"mode":2,"antPerm":0,"tones":[[1,2],[3,4]],"toneQual":[0,3]}]}],"reflector":[]})";

}  // namespace

TEST(Record, RoundTripKeepsEveryField) {
    SimConfig cfg;
    cfg.nap = 4;
    cfg.toneMode = 3;
    cfg.rttEvery = 3;
    cfg.abortShare = 0.3;
    cfg.failShare = 0.3;
    cfg.reflections = {{1.5, 0.7}};
    cfg.trajectory = Trajectory::still(2.0 / 3.0);  // not exact in decimal
    Simulator sim(cfg);
    for (int i = 0; i < 5; ++i) {
        Procedure p = sim.next();
        if (i == 1) {
            p.timing = {150, 145, 145, 40, 10, 2, 3};
            p.initiator[0].steps[1].aborted = 1;
        }
        Procedure back;
        std::string why;
        ASSERT_TRUE(procedureFromJson(procedureToJson(p, i), &back, &why)) << why;
        EXPECT_TRUE(back == p);
        EXPECT_EQ(back.trueDistance, 2.0 / 3.0);
    }
    Procedure noTruth, back;
    std::string why;
    ASSERT_TRUE(procedureFromJson(kMinimal, &noTruth, &why)) << why;
    EXPECT_FALSE(noTruth.hasTruth());
    ASSERT_EQ(noTruth.initiator.size(), 1u);
    EXPECT_EQ(noTruth.initiator[0].steps[0].tones[1].q, 4);
    EXPECT_EQ(noTruth.initiator[0].steps[0].tones[1].qual, 3);
    ASSERT_TRUE(procedureFromJson(procedureToJson(noTruth), &back, &why));
    EXPECT_TRUE(back == noTruth);
}

TEST(Record, MalformedLinesNameTheFieldAndTheReason) {
    EXPECT_EQ(reasonFor("[1,2]"), "expected a JSON object");
    EXPECT_EQ(reasonFor(R"({"initiator":[]})"), "reflector: missing");
    EXPECT_EQ(reasonFor(R"({"initiator":{},"reflector":[]})"),
              "initiator: expected an array of subevents");
    EXPECT_EQ(reasonFor(R"({"initiator":[{"timestampNs":0,"steps":[]}],"reflector":[]})"),
              "initiator[0].nap: missing");
    EXPECT_EQ(reasonFor(R"({"initiator":[{"nap":300,"timestampNs":0,"steps":[]}],"reflector":[]})"),
              "initiator[0].nap: out of range -128..127 (300)");
    EXPECT_EQ(
        reasonFor(
            R"({"initiator":[],"reflector":[{"nap":1,"timestampNs":0,"steps":[{"channel":3,"mode":1}]}]})"),
        "reflector[0].steps[0].timeEst: missing");
    EXPECT_EQ(
        reasonFor(
            R"({"initiator":[{"nap":1,"timestampNs":0,"steps":[{"channel":3,"mode":2,"antPerm":0,"tones":[[1,2]],"toneQual":[]}]}],"reflector":[]})"),
        "initiator[0].steps[0]: tones and toneQual differ in length (1 and 0)");
    EXPECT_EQ(
        reasonFor(
            R"({"initiator":[{"nap":1,"timestampNs":0,"steps":[{"channel":3,"mode":2,"antPerm":0,"tones":[[1]],"toneQual":[0]}]}],"reflector":[]})"),
        "initiator[0].steps[0].tones[0]: expected an [I, Q] pair of integers");
    EXPECT_EQ(
        reasonFor(
            R"({"initiator":[{"nap":1,"timestampNs":0,"steps":[{"channel":3.5,"mode":0}]}],"reflector":[]})"),
        "initiator[0].steps[0].channel: expected an integer");
    EXPECT_EQ(reasonFor(R"({"trueDistance":"far","initiator":[],"reflector":[]})"),
              "trueDistance: expected a number or null");
    EXPECT_EQ(
        reasonFor(
            R"({"initiator":[{"nap":1,"timestampNs":18446744073709551615,"steps":[]}],"reflector":[]})"),
        "initiator[0].timestampNs: out of range -9223372036854775808..9223372036854775807 "
        "(18446744073709551615)");
    EXPECT_EQ(reasonFor(R"({"timing":{"tFcsUs":150,"tIp1Us":145,"tIp2Us":145},"initiator":[],"reflector":[]})"),
              "timing.tPmUs: missing");
    EXPECT_EQ(reasonFor(R"({"timing":{"tFcsUs":150,"tIp1Us":145,"tIp2Us":145,"tPmUs":40,"tSwUs":256},"initiator":[],"reflector":[]})"),
              "timing.tSwUs: out of range 0..255 (256)");
    EXPECT_EQ(
        reasonFor(
            R"({"initiator":[{"nap":1,"timestampNs":0,"steps":[{"channel":3,"mode":0,"aborted":2}]}],"reflector":[]})"),
        "initiator[0].steps[0].aborted: out of range 0..1 (2)");
    EXPECT_EQ(reasonFor("{\"initiator\": [}").rfind("not valid JSON: parse error", 0), 0u);
}

TEST(Record, WriterAndReaderCountLinesAndSkipBlankOnes) {
    const std::string path = tempPath("tarn_record_lines.jsonl");
    {
        RecordWriter w;
        std::string why;
        ASSERT_TRUE(w.open(path, &why)) << why;
        SimConfig cfg;
        cfg.nap = 2;
        Simulator sim(cfg);
        ASSERT_TRUE(w.write(sim.next()));
        ASSERT_TRUE(w.close(&why));
    }
    {
        std::ofstream app(path, std::ios::app);
        app << "\n   \n"
            << "{oops\n"
            << kMinimal << "\r\n";
    }
    RecordReader r;
    std::string why;
    ASSERT_TRUE(r.open(path, &why));
    Procedure p;
    EXPECT_EQ(r.next(&p, &why), RecordReader::Status::Ok);
    EXPECT_EQ(r.lineNumber(), 1);
    EXPECT_EQ(p.initiator[0].nap, 2);
    EXPECT_EQ(r.next(&p, &why), RecordReader::Status::Malformed);
    EXPECT_EQ(r.lineNumber(), 4);
    EXPECT_EQ(r.next(&p, &why), RecordReader::Status::Ok);
    EXPECT_EQ(r.lineNumber(), 5);
    EXPECT_EQ(r.next(&p, &why), RecordReader::Status::End);
    std::remove(path.c_str());

    RecordReader missing;
    EXPECT_FALSE(missing.open(tempPath("tarn_no_such_file.jsonl"), &why));
    EXPECT_NE(why.find("cannot read"), std::string::npos);
    EXPECT_FALSE(missing.open(::testing::TempDir(), &why));
    EXPECT_NE(why.find("directory"), std::string::npos);
}
