// Every row of every model table describes the block its parse wrote: the
// text corvo --json and corvo-stat --json report for a model in force.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "models_fixture.hpp"

using namespace pipes;
using namespace models;

namespace {

struct text_row {
    model_kind kind;
    const char* spec;      // "@" stands for the path of the row's file
    const char* file;      // its contents, or null
    int row;               // the table row that takes it
    const char* describe;  // the text of its block
    bool reparses;         // the text applied again writes the same block (not
                           // where the block keeps a rounded or derived value)
};
void PrintTo(const text_row& r, std::ostream* os) { *os << r.spec; }

class model_text_test : public model_test, public ::testing::WithParamInterface<text_row> {
protected:
    void TearDown() override
    {
        if (!path_.empty())
            std::remove(path_.c_str());
        model_test::TearDown();
    }
    std::string spec_text(const text_row& r)
    {
        std::string s = r.spec;
        if (r.file) {
            char tmpl[] = "/tmp/models_text.XXXXXX";
            const int fd = mkstemp(tmpl);
            EXPECT_GE(fd, 0);
            path_ = tmpl;
            EXPECT_EQ(write(fd, r.file, std::strlen(r.file)), ssize_t(std::strlen(r.file)));
            close(fd);
            s.replace(s.find('@'), 1, path_);
        }
        return s;
    }
    // The block of the kind's descriptor, described by the descriptor's row.
    std::string described(model_kind k)
    {
        const model_desc d = desc(k);
        EXPECT_TRUE(d.present && desc_valid(k, d));
        return model_list[k].table[d.row].describe(slot(k).param_block);
    }

    std::string path_;
};

TEST_P(model_text_test, describes_its_block)
{
    const text_row& r = GetParam();
    const std::string spec = spec_text(r);
    area().max_delay = area().max_bps = 0;
    ASSERT_EQ(apply(r.kind, spec.c_str()), 0);
    ASSERT_EQ(desc(r.kind).row, r.row);
    const std::string text = described(r.kind);
    EXPECT_EQ(text, r.describe);
    if (!r.reparses)
        return;
    const size_t bytes = model_list[r.kind].table[r.row].block_bytes;
    const auto* first = static_cast<const unsigned char*>(slot(r.kind).param_block);
    const std::vector<unsigned char> was(first, first + bytes);
    session_attach(pipe, layout, 0, 0);
    ASSERT_EQ(apply(r.kind, text.c_str()), 0);
    ASSERT_EQ(desc(r.kind).row, r.row);
    const auto* again = static_cast<const unsigned char*>(slot(r.kind).param_block);
    EXPECT_EQ(std::memcmp(was.data(), again, bytes), 0) << text << " writes another block";
}

// Every row of every table (the count check below keeps it so).
const text_row text_rows[] = {
    {kind_delay, "constant,10ms", nullptr, 0, "constant,10ms", true},
    {kind_delay, "uniform,1ms,2.5ms", nullptr, 1, "uniform,1ms,2500us", true},
    {kind_delay, "exp,1ms,5ms", nullptr, 2, "exp,1ms,4968451ns", false},  // the table's mean
    {kind_delay, "inter-packet,1us,2us,3ms", nullptr, 3, "inter-packet,1us,2us,3ms", true},
    {kind_delay, "normal,10ms,2ms", nullptr, 4, "normal,10ms,2ms", true},
    {kind_delay, "pareto,1ms,2.5", nullptr, 5, "pareto,1ms,2.5", true},
    {kind_delay, "dist,@", "1ms\n# comment\n3ms\n2ms\n", 6, "dist,3 values,1ms..3ms", false},
    {kind_bw, "constant,10M", nullptr, 0, "constant,10M", true},
    {kind_bw, "ether,100M", nullptr, 1, "ether,100M", true},
    {kind_bw, "avg,5M", nullptr, 2, "avg,5.001M", false},  // token rounded down
    {kind_bw, "trace,@", "1\n1\n2\n4\n", 3, "trace,4ms,4 opportunities", false},
    {kind_bw, "cell,10M,8,48,5", nullptr, 4, "cell,10M,8,48,5", true},
    {kind_bw, "cell,8M,-200", nullptr, 4, "cell,8M,-200", true},
    {kind_loss, "plr,0.01", nullptr, 0, "plr,0.01", true},
    {kind_loss, "ber,0.25", nullptr, 1, "ber,0.25", true},
    {kind_loss, "ge,0.01,0.5,1,0.25", nullptr, 2, "ge,0.01,0.5,1,0.25", true},
    {kind_loss, "markov,0.1,0.75,0.125,1,0.05", nullptr, 3, "markov,0.1,0.75,0.125,1,0.05", true},
    {kind_reorder, "const,0.1,1ms", nullptr, 0, "const,0.1,1ms", true},
};

INSTANTIATE_TEST_SUITE_P(rows, model_text_test, ::testing::ValuesIn(text_rows));

// Every row can describe its block and has a row above.
TEST(model_text_rows, cover_every_row)
{
    for (const model_list_entry& e : model_list) {
        for (int r = 0; r < e.rows; ++r) {
            bool found = false;
            for (const text_row& t : text_rows)
                found |= model_list[t.kind].letter == e.letter && t.row == r;
            EXPECT_TRUE(found) << e.letter << " row " << r << " has no text row";
            EXPECT_NE(e.table[r].describe, nullptr)
                << e.letter << " row " << r << " cannot describe its block";
        }
    }
}

}  // namespace
