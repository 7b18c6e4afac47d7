// `vesprey-cli eval` driven as a user would from a shell, on answers saved in files.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "shell.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;

using vesprey::test::Outcome;
using vesprey::test::quoted;

class CliEval : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vesprey-eval-XXXXXX").string();
        dir_ = mkdtemp(pattern.data());
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Saves `bytes` as the answer file and returns its quoted path.
    std::string answer(const std::string& bytes) {
        const fs::path path = dir_ / "answer.txt";
        std::ofstream(path, std::ios::binary) << bytes;
        return quoted(path.string());
    }

    // Runs the program with the arguments (already quoted as needed).
    Outcome eval(const std::string& args) {
        return vesprey::test::runCapturingStderr(std::string(VESPREY_CLI) + " eval " + args, dir_);
    }

    fs::path dir_;
};

TEST_F(CliEval, JsonStatementWithTemplate) {
    const std::string file = answer(R"({"data":{"msg":"\u7b7e\u5230\u6210\u529f"}})");
    Outcome out = eval("--json --tying " + quoted("data.msg=>结果：[@]") + " " + file);
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_EQ(out.out, "结果：签到成功\n");
    EXPECT_EQ(out.err, "");
}

TEST_F(CliEval, RegexOnAGbkAnswerFromStdin) {
    // The answer is read as received: here code page 936 bytes, as a Chinese site sends them.
    const std::string file = answer(vesprey::utf8ToAnsi(R"(<p class="msg">今日已签到</p>)"));
    Outcome out = eval("--regex --tying " + quoted("#引号msg#引号>(.*?)<") + " - < " + file);
    EXPECT_EQ(out.exitCode, 0);
    EXPECT_EQ(out.out, "今日已签到\n");
    EXPECT_EQ(out.err, "");
}

TEST_F(CliEval, RegexMessagesGoToStderr) {
    const std::string file = answer(R"({"msg":"ok"})");
    Outcome none = eval("--regex --tying " + quoted(R"x("none":"(.*?)")x") + " " + file);
    EXPECT_EQ(none.exitCode, 0);
    EXPECT_EQ(none.out, "匹配失败\n");
    EXPECT_NE(none.err.find("匹配失败，请检检查正则语句是否有误，数量：0"), std::string::npos)
        << none.err;

    Outcome invalid = eval("--regex --tying " + quoted("(abc||msg") + " " + file);
    EXPECT_EQ(invalid.out, "匹配失败\n");
    EXPECT_NE(invalid.err.find("正则创建失败，请检查正则表达式语句是否有误！"), std::string::npos)
        << invalid.err;
}

TEST_F(CliEval, ConversionAndWhatTheListWouldShow) {
    // No statement: the converted answer.
    EXPECT_EQ(eval("--ctype 2 " + answer(R"(\u7b7e\u5230)")).out, "签到\n");
    EXPECT_EQ(eval("--ctype 1 " + answer("%E7%AD%BE%E5%88%B0")).out, "签到\n");
    EXPECT_EQ(eval(answer("as is")).out, "as is\n");
    // Converted, then evaluated.
    const std::string encoded = answer("%7B%22msg%22%3A%22%E6%88%90%E5%8A%9F%22%7D");
    EXPECT_EQ(eval("--ctype 1 --json --tying msg " + encoded).out, "成功\n");
    // An empty evaluation shows the answer as received, before its conversion.
    EXPECT_EQ(eval("--ctype 1 --json --tying " + quoted("none||msg2") + " " + encoded).out,
              "%7B%22msg%22%3A%22%E6%88%90%E5%8A%9F%22%7D\n");
    // The answer ends at its first NUL, as in the pass.
    EXPECT_EQ(eval(answer(std::string("ok\0junk", 7))).out, "ok\n");
}

TEST_F(CliEval, AUtf8AnswerWithoutConversionGetsAHint) {
    const std::string file = answer(R"({"msg":"签到成功"})");  // UTF-8 bytes, as most sites send
    const Outcome plain = eval("--json --tying msg " + file);
    EXPECT_NE(plain.err.find("答复像是 UTF-8 编码，请把“编码转换”设为“UTF-8解码”"),
              std::string::npos)
        << plain.err;
    EXPECT_EQ(eval("--ctype 1 --json --tying msg " + file).out, "签到成功\n");
    EXPECT_EQ(eval("--ctype 1 --json --tying msg " + file).err, "");
    // Code page 936 and plain ASCII answers get none.
    EXPECT_EQ(eval(answer(vesprey::utf8ToAnsi("今日已签到"))).err, "");
    EXPECT_EQ(eval(answer("ok")).err, "");
}

TEST_F(CliEval, BadArgumentsExitWithOne) {
    const std::string file = answer("{}");
    EXPECT_EQ(eval("--tying msg " + file).exitCode, 1);  // which kind of statement?
    EXPECT_EQ(eval("--json --regex --tying msg " + file).exitCode, 1);
    EXPECT_EQ(eval("--ctype 3 " + file).exitCode, 1);
    EXPECT_EQ(eval("--json --tying msg " + file + " " + file).exitCode, 1);
    Outcome missing = eval("--json --tying msg " + quoted((dir_ / "missing").string()));
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("missing"), std::string::npos);
    Outcome help = eval("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("用法: vesprey-cli eval"), std::string::npos);
}

}  // namespace
