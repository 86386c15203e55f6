#include "shared/ipc/InTurn.h"

#include <chrono>
#include <memory>

namespace brimo::ipc {

namespace {
struct Turns {
    uint64_t remaining;
    std::function<void(std::function<void()>)> step;
    Callback<void(double)> finish;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

    static void next(const std::shared_ptr<Turns>& turns) {
        if (turns->remaining == 0) {
            const std::chrono::duration<double> elapsed =
                std::chrono::steady_clock::now() - turns->start;
            turns->finish(elapsed.count());
            return;
        }
        --turns->remaining;
        turns->step([turns] { next(turns); });
    }
};
} // namespace

void runInTurn(uint64_t count, std::function<void(std::function<void()> next)> step,
               Callback<void(double seconds)> finish) {
    Turns::next(std::make_shared<Turns>(Turns{count, std::move(step), std::move(finish)}));
}

} // namespace brimo::ipc
