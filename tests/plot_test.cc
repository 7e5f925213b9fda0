// corvo-plot on recorded reports (tests/data: a corvo run with queue-limit,
// policer and loss drops, and a wenlo run): the image comes out in either
// format, and input that is no report is refused with a message.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "corvo_proc.hpp"

using corvo_test::child;

namespace {

const std::string plot = corvo_test::bin_dir + "/corvo-plot";
const std::string data = std::string(TEST_SOURCE_DIR) + "/tests/data/";
constexpr int run_ms = 60000;

struct temp_dir {
    std::string path;
    temp_dir()
    {
        char tmpl[] = "/tmp/corvo_plot.XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "/tmp";
    }
    ~temp_dir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string write(const std::string& name, const std::string& text) const
    {
        std::ofstream(path + "/" + name) << text;
        return path + "/" + name;
    }
};

std::string head_of(const std::string& file, size_t n)
{
    std::ifstream f(file, std::ios::binary);
    std::string s(n, '\0');
    f.read(s.data(), std::streamsize(n));
    s.resize(size_t(f.gcount()));
    return s;
}

std::string first_line(const std::string& file)
{
    std::ifstream f(file);
    std::string line;
    std::getline(f, line);
    return line + "\n";
}

}  // namespace

TEST(corvo_plot, draws_runs_side_by_side_as_png_and_svg)
{
    const temp_dir t;
    for (const char* ext : {".png", ".svg"}) {
        const std::string out = t.path + "/runs" + ext;
        child c({plot, "-o", out, "--title", "two runs", data + "corvo_run.json", data + "wenlo_run.json"});
        ASSERT_EQ(c.finish(run_ms), 0) << c.err();
        EXPECT_EQ(c.err(), "");
        struct stat st {};
        ASSERT_EQ(stat(out.c_str(), &st), 0) << out;
        EXPECT_GT(st.st_size, 20000) << out;
        if (std::string(ext) == ".png")
            EXPECT_EQ(head_of(out, 8), "\x89PNG\r\n\x1a\n");
        else
            EXPECT_NE(head_of(out, 4096).find("<svg"), std::string::npos);
    }
}

TEST(corvo_plot, refuses_input_that_is_no_report)
{
    const temp_dir t;
    const std::string good = data + "corvo_run.json";
    struct row {
        std::string name, text, message;
    };
    const std::vector<row> rows = {
        {"empty.json", "", "empty.json: no reports in it\n"},
        {"blank.json", "\n\n", "blank.json: no reports in it\n"},
        {"text.json", "hello\n", "text.json:1: not a JSON line"},
        {"foreign.json", "{\"a\":1}\n", "foreign.json:1: not a report of corvo, wenlo or corvo-stat\n"},
        {"array.json", "[1,2]\n", "array.json:1: not a report of corvo, wenlo or corvo-stat\n"},
        {"newer.json", "{\"schema\":2,\"program\":\"corvo\",\"elapsed\":1}\n",
         "newer.json:1: report schema 2, this tool reads 1\n"},
        {"second_bad.json", first_line(good) + "{}\n", "second_bad.json:2: not a report"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string in = t.write(r.name, r.text);
        const std::string out = t.path + "/" + r.name + ".png";
        // A good file before the bad one: nothing is drawn at all.
        child c({plot, "-o", out, good, in});
        EXPECT_EQ(c.finish(run_ms), 1);
        EXPECT_NE(c.err().find("corvo-plot: "), std::string::npos) << c.err();
        EXPECT_NE(c.err().find(r.message), std::string::npos) << c.err();
        EXPECT_NE(access(out.c_str(), F_OK), 0) << "an image was written for " << r.name;
    }
    child missing({plot, "-o", t.path + "/absent.png", t.path + "/absent.json"});
    EXPECT_EQ(missing.finish(run_ms), 1);
    EXPECT_NE(missing.err().find("cannot read " + t.path + "/absent.json"), std::string::npos)
        << missing.err();
    child wrong_format({plot, "-o", t.path + "/x.jpg", good});
    EXPECT_EQ(wrong_format.finish(run_ms), 1);
    EXPECT_NE(wrong_format.err().find("must end in .png or .svg"), std::string::npos) << wrong_format.err();
}
