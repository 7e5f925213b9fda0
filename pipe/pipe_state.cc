// Direction state and session layout: the private layout, binding a
// direction to its area, the empty slot and the process-wide stop flag.
#include "pipe/pipe_state.hpp"

#include <sys/mman.h>

#include <cstdlib>

#include "common/log.hpp"

using namespace common;

namespace pipes {

std::atomic<uint8_t> abort_flag{0};

int null_run(pipe_state&, const model_spec&) noexcept { return 0; }

session_layout* session_private()
{
    void* m =
        mmap(nullptr, sizeof(session_layout), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) {
        log_msg("cannot map %zu bytes for the session layout\n", sizeof(session_layout));
        return nullptr;
    }
    // Anonymous memory is zero-filled; only the version is set.
    auto* layout = static_cast<session_layout*>(m);
    layout->header.version = session_version;
    return layout;
}

void session_unmap(session_layout* layout)
{
    if (layout)
        munmap(layout, sizeof(session_layout));
}

void session_attach(pipe_state& p, session_layout* layout, int d, uint32_t i)
{
    if (!layout || d < 0 || d > 1 || i > 1) {
        log_msg("program error - invalid arguments\n");
        std::exit(1);
    }
    p.session = &layout->area[d];
    p.param_used[0] = 0;
    p.param_used[1] = 0;
    p.cur_instance = i;
    session_instance& inst = p.session->instance[i];
    for (int k = 0; k < n_model_kinds; ++k) {
        inst.descs[k].present = 0;
        pipe_slot(p, k).slot_desc = &inst.descs[k];
    }
}

void slot_reset(model_spec& slot)
{
    slot = model_spec{};
    slot.run = null_run;
    slot.text = "0";
}

}  // namespace pipes
