// Python entry of the module function dehydrate.
#include <chrono>
#include <cstdint>
#include <vector>

#include "context/message_batch.h"
#include "context/one_pass_dehydrate.h"
#include "binding.h"
#include "convert.h"
#include "gil.h"
#include "registry.h"
#include "results.h"

namespace qm::doc {

// The body only: `docstring` writes the text signature above it from the table.
inline constexpr char kDehydrate[] =
    "Dehydrate a whole message history in a single pass (oldest → newest).\n"
    "\n"
    "`messages` is a list of `(content, signal_flags)`. Older, lower-value blocks\n"
    "are decayed by recency-weighted half-life and purged below `safe_threshold`;\n"
    "durable classes (SYSTEM, FACT) always survive. Returns the surviving blocks\n"
    "plus audited savings and the pure-kernel latency in microseconds.\n"
    "\n"
    "`stable_prefix` is the cache-aware zone: the first N messages are kept\n"
    "verbatim no matter their class, so a provider prompt-cache prefix stays\n"
    "byte-identical between calls. Apoptosis only acts on the mobile suffix.";

}  // namespace qm::doc

namespace qm {
namespace {

constexpr auto kParams = params("dehydrate()", param("messages", to_message_batch),
                                param("half_life", to_f32) = 6.0f,
                                param("safe_threshold", to_f32) = 0.35f,
                                param("stable_prefix", to_u64) = uint64_t{0});

/// What one call needs besides its arguments: the copied history and one decision
/// byte per message.
struct Workspace {
    MessageBatch batch;
    std::vector<uint8_t> decisions;

    size_t capacity_bytes() const noexcept { return batch.capacity_bytes() + decisions.capacity(); }
};

/// Lends the calling thread's workspace, reused from call to call. A fresh
/// multi-megabyte arena per call costs more in page faults than the decision
/// pass itself. A nested call (from a conversion hook) gets a workspace of its
/// own, and buffers grown past kRetainBytes are handed back rather than kept.
class WorkspaceLease {
public:
    WorkspaceLease() : space_(!in_use_ ? &cached_ : &own_) {
        if (space_ == &cached_) in_use_ = true;
    }
    ~WorkspaceLease() {
        if (space_ != &cached_) return;
        cached_.batch.clear();
        cached_.decisions.clear();
        if (cached_.capacity_bytes() > kRetainBytes) {
            cached_.batch.release();
            std::vector<uint8_t>().swap(cached_.decisions);
        }
        in_use_ = false;
    }
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;

    Workspace& operator*() noexcept { return *space_; }

private:
    static constexpr size_t kRetainBytes = size_t{64} << 20;
    static thread_local Workspace cached_;
    static thread_local bool in_use_;
    Workspace own_;
    Workspace* space_;
};

thread_local Workspace WorkspaceLease::cached_;
thread_local bool WorkspaceLease::in_use_ = false;

/// Elapsed microseconds, never negative.
double elapsed_us(std::chrono::steady_clock::time_point start,
                  std::chrono::steady_clock::time_point end) noexcept {
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count();
    return ns > 0 ? static_cast<double>(ns) / 1000.0 : 0.0;
}

PyObject* call(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return with_args(args, kwargs, [](const Args<kParams>& a) {
        WorkspaceLease lease;
        MessageBatch& batch = (*lease).batch;
        std::vector<uint8_t>& decisions = (*lease).decisions;
        a.get<"messages">(batch);
        DehydrateParams params{};
        params.half_life = effective_half_life(a.get<"half_life">());
        params.safe_threshold = a.get<"safe_threshold">();
        params.stable_prefix = a.get<"stable_prefix">();

        decisions.resize(batch.size());
        // The clock brackets the release and retake of the lock as well as the pass.
        const auto start = std::chrono::steady_clock::now();
        {
            GilReleased released;
            one_pass_dehydrate(batch, params, decisions);
        }
        const auto end = std::chrono::steady_clock::now();

        const DehydrateAudit audit = audit_dehydration(batch, params.stable_prefix, decisions);
        ListBuilder kept(audit.blocks_kept);
        size_t slot = 0;
        for (size_t k = 0; k < batch.size(); ++k) {
            if (decisions[k] != 0) kept.set(slot++, py_text(batch.text(k)));
        }

        DictBuilder result;
        result.set("kept", kept.finish());
        result.set("blocks_in", py_u64(audit.blocks_in));
        result.set("blocks_kept", py_u64(audit.blocks_kept));
        result.set("blocks_purged", py_u64(audit.blocks_purged));
        result.set("tokens_before", py_u64(audit.tokens_before));
        result.set("tokens_after", py_u64(audit.tokens_after));
        result.set("reduction", py_f64(audit.reduction));
        result.set("stable_prefix_tokens", py_u64(audit.stable_prefix_tokens));
        result.set("kernel_latency_us", py_f64(elapsed_us(start, end)));
        return result.finish().release();
    });
}

}  // namespace

PyMethodDef dehydrate_def = method_def("dehydrate", call, docstring<kParams, doc::kDehydrate>);

}  // namespace qm
