#pragma once

#include <chrono>
#include <thread>

#include "codec/link_api.h"
#include "termsim.h"

// The real link library with one write made to miss the terminal: not written at all, or written and the
// cradle's line gone before WriteIrCom returns (the pseudo-terminal closed, IrComState -1).
class LosingLink {
public:
    enum class Loss { NotWritten, LineGone };
    LosingLink(const LinkApi& real, termsim::Simulator& sim, int write, Loss loss) : api_(real) {
        real_ = &real;
        sim_ = &sim;
        write_ = write;
        loss_ = loss;
        writes_ = 0;
        api_.WriteIrCom = &Write;
    }
    const LinkApi* Api() const { return &api_; }

private:
    static int32_t Write(const char* text) {
        if (++writes_ != write_) {
            return real_->WriteIrCom(text);
        }
        if (loss_ == Loss::NotWritten) {
            return 0;
        }
        const int32_t written = real_->WriteIrCom(text);
        const int hangUps = sim_->HangUps();
        sim_->HangUpNow();
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while ((sim_->HangUps() == hangUps || real_->IrComState() != -1) &&
               std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return written;
    }

    LinkApi api_;
    static inline const LinkApi* real_ = nullptr;
    static inline termsim::Simulator* sim_ = nullptr;
    static inline int write_ = 0;
    static inline int writes_ = 0;
    static inline Loss loss_ = Loss::NotWritten;
};
