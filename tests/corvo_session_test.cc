// Session file between processes: roles by record locks, the owner's reset,
// the client's wait for the client area, version check, publication, the
// acknowledgement guard and the stop command.  Each role runs in a forked
// child, since record locks belong to a process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include "corvo/session_file.hpp"
#include "models/model.hpp"
#include "pipe/pipe_state.hpp"
#include "session_proc.hpp"

using namespace common;
using namespace pipes;
using namespace models;
using namespace corvo;

using namespace session_test;

namespace {

// Stands in for the owner's two producers: picks up each publication as
// the instance check does and acknowledges it, until the parent signals.
void pick_up_until_told(session_layout* l, const child::control& ctl)
{
    static pipe_state p[2]{};
    for (int d = 0; d < 2; ++d) {
        p[d].session = &l->area[d];
        p[d].cur_instance = 0;
    }
    while (!ctl.poll_go()) {
        for (auto& pd : p) {
            uint64_t a = shared_word(pd.session->active_instance).load(std::memory_order_acquire);
            if (a < stop_command && a != pd.cur_instance) {
                std::atomic_thread_fence(std::memory_order_seq_cst);
                pd.cur_instance = static_cast<uint32_t>(a);
                session_ack(pd);
            }
        }
        usleep(500);
    }
}

// Raises the delay limit as -M 100ms does.
void allow_100ms(session_layout* l)
{
    for (auto& a : l->area)
        a.max_delay = 100000000;
}

// An owner: maps the file, optionally applies a delay to instance 0 of
// both directions and prepares the file, releases the client area, then
// either acknowledges publications or just holds the file until told.
struct owner_opts {
    const char* delay = nullptr;
    int startup_ms = 0;                            // start-up time before the release
    std::function<void(session_layout*)> prepare;  // runs before the release
    bool producers = true;
};

int run_owner(const std::string& path, const owner_opts& o, const child::control& ctl)
{
    session_map m = ec_map_or_exit(path.c_str());
    if (m.role != session_role::owner)
        return 10;
    ctl.tell('o');
    if (o.delay) {
        static pipe_state p[2]{};
        for (int d = 0; d < 2; ++d) {
            for (int k = 0; k < n_model_kinds; ++k)
                slot_reset(pipe_slot(p[d], k));
            session_attach(p[d], m.layout, d, 0);
            if (cmd_apply(delay_models, o.delay, p[d], &p[d].delay_slot) != 0)
                return 11;
        }
    }
    if (o.startup_ms)
        usleep(static_cast<useconds_t>(o.startup_ms) * 1000);
    if (o.prepare)
        o.prepare(m.layout);
    if (!ec_release_client_area())
        return 12;
    ctl.tell('r');
    if (o.producers)
        pick_up_until_told(m.layout, ctl);
    else
        ctl.wait_go();
    return 0;
}

// A client applying one delay text to both directions, as corvo does with
// a lone -D; answers its exit status.
int run_client(const std::string& path, const char* delay, int ack_ms = ack_wait_ms)
{
    session_map m = ec_map_or_exit(path.c_str());
    if (m.role != session_role::client)
        return 10;
    if (!ec_wait_ack(*m.layout, ack_ms))
        return 1;
    static pipe_state p[2]{};
    int errors = 0;
    for (int d = 0; d < 2; ++d) {
        for (int k = 0; k < n_model_kinds; ++k)
            slot_reset(pipe_slot(p[d], k));
        session_attach(p[d], m.layout, d, spare_instance(m.layout->area[d]));
        errors += cmd_apply(delay_models, delay, p[d], &p[d].delay_slot);
    }
    if (errors)
        return 1;
    ec_publish(p[0], p[1]);
    return 0;
}

uint64_t active(const file_view& v, int d)
{
    return shared_word(v->area[d].active_instance).load(std::memory_order_acquire);
}

struct session_file_test : ::testing::Test {
    temp_dir dir;
    std::string path = dir.file("emu.session");
};

}  // namespace

TEST_F(session_file_test, first_process_owns_and_resets_the_file)
{
    {  // a session an earlier owner left, every byte but the version set
        std::vector<unsigned char> junk(session_bytes, 0xab);
        std::memcpy(junk.data() + 512, &session_version, sizeof session_version);
        FILE* f = std::fopen(path.c_str(), "w");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(junk.data(), 1, junk.size(), f), junk.size());
        std::fclose(f);
    }
    child owner([&](const child::control& ctl) { return run_owner(path, {.producers = false}, ctl); });
    ASSERT_TRUE(owner.wait_for('r'));

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, static_cast<off_t>(session_bytes));
    EXPECT_EQ(
        st.st_mode & 0777, 0664u & ~[] {
            mode_t m = umask(0);
            umask(m);
            return m;
        }());
    file_view v(path);
    ASSERT_TRUE(v);
    const auto* bytes = reinterpret_cast<const unsigned char*>(v.get());
    size_t nonzero = 0;
    for (size_t i = 0; i < session_bytes; ++i)
        nonzero += bytes[i] != 0;
    EXPECT_EQ(nonzero, 1u);
    EXPECT_EQ(read_at<uint32_t>(path, 512), 1u);

    owner.go();
    EXPECT_EQ(owner.finish(), 0) << owner.log();
}

TEST_F(session_file_test, client_waits_until_the_owner_has_started)
{
    // The owner writes a limit at the very end of a 300 ms start-up; a
    // client started meanwhile must only see the file after that.
    owner_opts o{.startup_ms = 300, .prepare = [](session_layout* l) { l->area[0].max_delay = 12345; }};
    child owner([&](const child::control& ctl) { return run_owner(path, o, ctl); });
    ASSERT_TRUE(owner.wait_for('o'));
    child client([&](const child::control& ctl) {
        session_map m = ec_map_or_exit(path.c_str());
        ctl.tell(m.role == session_role::client ? 'c' : 'x');
        return m.layout->area[0].max_delay == 12345 ? 0 : 3;
    });
    usleep(100000);
    EXPECT_TRUE(client.running()) << "the client entered during the owner's start-up";
    EXPECT_EQ(client.wait_signal(), 'c');
    EXPECT_EQ(client.finish(), 0) << client.log();
    owner.go();
    EXPECT_EQ(owner.finish(), 0) << owner.log();
}

TEST_F(session_file_test, clients_take_turns_on_the_spare_instance)
{
    child owner([&](const child::control& ctl) {
        return run_owner(path, {.delay = "10ms", .prepare = allow_100ms}, ctl);
    });
    ASSERT_TRUE(owner.wait_for('r'));
    file_view v(path);
    ASSERT_TRUE(v);

    // First client: instance 1 of both directions.
    child c1([&](const child::control&) { return run_client(path, "50ms"); });
    ASSERT_EQ(c1.finish(), 0) << c1.log();
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(read_at<uint64_t>(path, area_off(d) + 24), 1u);
        const model_desc desc = read_at<model_desc>(path, instance_off(d, 1));
        EXPECT_EQ(desc.present, 1);
        EXPECT_EQ(desc.row, 0);  // constant delay
        EXPECT_EQ(desc.size, sizeof(delay_param));
        EXPECT_EQ(read_at<uint64_t>(path, instance_off(d, 1) + 48 + desc.offset), 50000000u);
        // The owner's instance 0 is untouched.
        EXPECT_EQ(read_at<uint64_t>(path, instance_off(d, 0) + 48), 10000000u);
    }
    ASSERT_TRUE(
        eventually([&] { return v->reserved.instance_ack[0] == 1 && v->reserved.instance_ack[1] == 1; }));
    EXPECT_EQ(read_at<uint64_t>(path, 525064), 1u);
    EXPECT_EQ(read_at<uint64_t>(path, 525072), 1u);

    // Second client: back to instance 0.
    child c2([&](const child::control&) { return run_client(path, "uniform,1ms,5ms"); });
    ASSERT_EQ(c2.finish(), 0) << c2.log();
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(active(v, d), 0u);
        const model_desc& desc = v->area[d].instance[0].descs[kind_delay];
        EXPECT_EQ(desc.present, 1);
        EXPECT_EQ(desc.row, 1);  // uniform delay
        EXPECT_EQ(v->area[d].instance[0].descs[kind_bw].present, 0);
        // Instance 1 still holds the first client's configuration.
        EXPECT_EQ(v->area[d].instance[1].descs[kind_delay].row, 0);
    }
    owner.go();
    EXPECT_EQ(owner.finish(), 0) << owner.log();
}

TEST_F(session_file_test, client_refused_by_a_limit_publishes_nothing)
{
    owner_opts o{.prepare = [](session_layout* l) {
        for (auto& a : l->area)
            a.max_delay = 20000000;  // 20 ms
    }};
    child owner([&](const child::control& ctl) { return run_owner(path, o, ctl); });
    ASSERT_TRUE(owner.wait_for('r'));
    child c([&](const child::control&) { return run_client(path, "50ms"); });
    EXPECT_EQ(c.finish(), 1);
    EXPECT_NE(c.log().find("invalid new delay 50000000 (max 20000000)"), std::string::npos) << c.log();
    file_view v(path);
    EXPECT_EQ(active(v, 0), 0u);
    EXPECT_EQ(active(v, 1), 0u);
    owner.go();
    EXPECT_EQ(owner.finish(), 0) << owner.log();
}

TEST_F(session_file_test, client_waits_for_both_producers_to_take_the_last_instance)
{
    // No producer picks anything up: the first client may publish (instance
    // 0 is in force and acknowledged since the reset), the second must not
    // rewrite instance 0 while the producers may still read it.
    child owner([&](const child::control& ctl) {
        return run_owner(path, {.delay = "10ms", .prepare = allow_100ms, .producers = false}, ctl);
    });
    ASSERT_TRUE(owner.wait_for('r'));
    file_view v(path);
    ASSERT_TRUE(v);
    child c1([&](const child::control&) { return run_client(path, "50ms", 300); });
    ASSERT_EQ(c1.finish(), 0) << c1.log();
    ASSERT_EQ(active(v, 0), 1u);

    child c2([&](const child::control&) { return run_client(path, "70ms", 300); });
    EXPECT_EQ(c2.finish(), 1);
    EXPECT_NE(c2.log().find("direction A of the emulator has not taken instance 1 within 300 ms; "
                            "nothing published"),
              std::string::npos)
        << c2.log();

    // Only A has switched: B still blocks the client.
    shared_word(v->reserved.instance_ack[0]).store(1, std::memory_order_release);
    child c3([&](const child::control&) { return run_client(path, "70ms", 300); });
    EXPECT_EQ(c3.finish(), 1);
    EXPECT_NE(c3.log().find("direction B of the emulator has not taken instance 1"), std::string::npos)
        << c3.log();
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(active(v, d), 1u);
        EXPECT_EQ(v->area[d].instance[0].descs[kind_delay].present, 1);
        EXPECT_EQ(*reinterpret_cast<const uint64_t*>(v->area[d].instance[0].params), 10000000u);
    }

    // Both switched: the next client writes instance 0.
    shared_word(v->reserved.instance_ack[1]).store(1, std::memory_order_release);
    child c4([&](const child::control&) { return run_client(path, "70ms", 300); });
    EXPECT_EQ(c4.finish(), 0) << c4.log();
    for (int d = 0; d < 2; ++d) {
        EXPECT_EQ(active(v, d), 0u);
        EXPECT_EQ(*reinterpret_cast<const uint64_t*>(v->area[d].instance[0].params), 70000000u);
    }
    owner.go();
    EXPECT_EQ(owner.finish(), 0) << owner.log();
}

TEST_F(session_file_test, client_refuses_another_version)
{
    owner_opts o{.prepare = [](session_layout* l) { l->header.version = 7; }, .producers = false};
    child owner([&](const child::control& ctl) { return run_owner(path, o, ctl); });
    ASSERT_TRUE(owner.wait_for('r'));
    child c([&](const child::control&) { return run_client(path, "50ms"); });
    EXPECT_EQ(c.finish(), 1);
    EXPECT_NE(c.log().find("Expected version 1, got 7\n"), std::string::npos) << c.log();
    owner.go();
    EXPECT_EQ(owner.finish(), 0);
}

TEST_F(session_file_test, stop_command_returns_only_after_the_owner_has_ended)
{
    child owner([&](const child::control& ctl) { return run_owner(path, {.producers = false}, ctl); });
    ASSERT_TRUE(owner.wait_for('r'));
    file_view v(path);
    ASSERT_TRUE(v);
    child stopper([&](const child::control&) {
        session_map m = ec_map_or_exit(path.c_str());
        return m.role == session_role::client ? ec_stop(m) : 10;
    });
    ASSERT_TRUE(eventually([&] { return active(v, 0) == stop_command && active(v, 1) == stop_command; }));
    usleep(200000);
    EXPECT_TRUE(stopper.running()) << "returned while the owner still runs";
    owner.go();
    EXPECT_EQ(owner.finish(), 0);
    EXPECT_EQ(stopper.finish(5000), 0);
    EXPECT_NE(stopper.log().find("exiting due to -a\n"), std::string::npos) << stopper.log();
}

TEST_F(session_file_test, stop_command_without_owner_ends_at_once)
{
    child stopper([&](const child::control&) {
        session_map m = ec_map_or_exit(path.c_str());
        return m.role == session_role::owner ? ec_stop(m) : 10;
    });
    EXPECT_EQ(stopper.finish(5000), 0);
    EXPECT_EQ(read_at<uint64_t>(path, area_off(0) + 24), stop_command);
    EXPECT_EQ(read_at<uint64_t>(path, area_off(1) + 24), stop_command);

    // The next owner starts from a clean file.
    child owner([&](const child::control& ctl) { return run_owner(path, {.producers = false}, ctl); });
    ASSERT_TRUE(owner.wait_for('r'));
    EXPECT_EQ(read_at<uint64_t>(path, area_off(0) + 24), 0u);
    EXPECT_EQ(read_at<uint64_t>(path, area_off(1) + 24), 0u);
    owner.go();
    EXPECT_EQ(owner.finish(), 0);
}

TEST_F(session_file_test, unusable_paths_end_with_the_system_error)
{
    const std::string missing = dir.file("no/such.session");
    child c1([&](const child::control&) {
        ec_map_or_exit(missing.c_str());
        return 0;
    });
    EXPECT_EQ(c1.finish(), 1);
    EXPECT_NE(c1.log().find("cannot open " + missing + ": No such file or directory\n"), std::string::npos)
        << c1.log();

    child c2([&](const child::control&) {
        ec_map_or_exit(dir.path().c_str());
        return 0;
    });
    EXPECT_EQ(c2.finish(), 1);
    EXPECT_NE(c2.log().find("cannot open " + dir.path() + ": Is a directory\n"), std::string::npos)
        << c2.log();
}

TEST(session_private_test, no_path_gives_a_private_owner_without_locks)
{
    session_map m = ec_map_or_exit(nullptr);
    ASSERT_NE(m.layout, nullptr);
    EXPECT_EQ(m.role, session_role::owner);
    EXPECT_EQ(session_fd, -1);
    EXPECT_EQ(m.layout->header.version, 1u);
    EXPECT_TRUE(ec_release_client_area());
    EXPECT_EQ(ec_wait_owner(), 0);
    // Acknowledgements are only for a shared file.
    pipe_state p{};
    session_attach(p, m.layout, 1, 1);
    session_ack(p);
    EXPECT_EQ(m.layout->reserved.instance_ack[1], 0u);
    session_unmap(m.layout);
}

TEST(session_publish_test, publishes_only_a_changed_instance)
{
    session_layout* l = session_private();
    ASSERT_NE(l, nullptr);
    static pipe_state a{}, b{};
    session_attach(a, l, 0, 1);
    session_attach(b, l, 1, 0);
    ec_publish(a, b);
    EXPECT_EQ(l->area[0].active_instance, 1u);
    EXPECT_EQ(l->area[1].active_instance, 0u);
    EXPECT_EQ(spare_instance(l->area[0]), 0u);
    EXPECT_EQ(spare_instance(l->area[1]), 1u);
    session_unmap(l);
}
