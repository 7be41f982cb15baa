// The adaptive frequency model of the Quantum coder, shared by the decoder and
// the test encoder. Every decoded symbol adds to its frequency; a model whose
// total grows past a limit is halved, and every 50th time (the 4th the first
// time) re-sorted so the most frequent symbols come first.
#pragma once
#include <cstdint>
#include <utility>

namespace pakrel {

// An adaptive frequency model. cum_[k] is the total frequency of the entries at
// index k and above, so cum_[0] is the model's total and cum_[n] is 0; entry k
// holds symbol sym_[k] with frequency cum_[k] - cum_[k + 1].
class QtmModel {
public:
    void init(int firstSymbol, int n) {
        n_ = n;
        for (int k = 0; k < n; ++k) {
            sym_[k] = static_cast<uint16_t>(firstSymbol + k);
            cum_[k] = static_cast<uint16_t>(n - k);
        }
        cum_[n] = 0;
        reorderIn_ = kFirstReorder;
    }
    int size() const { return n_; }
    uint32_t total() const { return cum_[0]; }
    // The entry whose range holds target: cum_[k + 1] <= target < cum_[k].
    int find(uint32_t target) const {
        int k = 0;
        while (k + 1 < n_ && cum_[k + 1] > target) ++k;
        return k;
    }
    uint32_t high(int k) const { return cum_[k]; }
    uint32_t low(int k) const { return cum_[k + 1]; }
    int symbol(int k) const { return sym_[k]; }
    // The entry holding a symbol, or -1 (for an encoder).
    int indexOf(int symbol) const {
        for (int k = 0; k < n_; ++k)
            if (sym_[k] == symbol) return k;
        return -1;
    }

    void update(int k) {
        for (int j = 0; j <= k; ++j) cum_[j] = static_cast<uint16_t>(cum_[j] + kIncrement);
        if (cum_[0] > kRescaleLimit) rescale();
    }

    static constexpr int kMaxSymbols = 64;

private:
    static constexpr uint32_t kRescaleLimit = 3800;
    static constexpr int kIncrement = 8;
    static constexpr int kReorderInterval = 50;
    static constexpr int kFirstReorder = 4;

    void rescale() {
        if (--reorderIn_ != 0) {
            // Halve, keeping every frequency at least 1.
            for (int j = n_ - 1; j >= 0; --j) {
                cum_[j] = static_cast<uint16_t>(cum_[j] >> 1);
                if (cum_[j] <= cum_[j + 1]) cum_[j] = static_cast<uint16_t>(cum_[j + 1] + 1);
            }
            return;
        }
        reorderIn_ = kReorderInterval;
        uint16_t freq[kMaxSymbols];
        for (int j = 0; j < n_; ++j) freq[j] = static_cast<uint16_t>((cum_[j] - cum_[j + 1] + 1) >> 1);
        // Most frequent first. The exchange order is part of the format: encoder and
        // decoder must end with the same order, ties included.
        for (int i = 0; i < n_ - 1; ++i) {
            for (int j = i + 1; j < n_; ++j) {
                if (freq[i] < freq[j]) {
                    std::swap(freq[i], freq[j]);
                    std::swap(sym_[i], sym_[j]);
                }
            }
        }
        cum_[n_] = 0;
        for (int j = n_ - 1; j >= 0; --j) cum_[j] = static_cast<uint16_t>(cum_[j + 1] + freq[j]);
    }

    int n_ = 0;
    int reorderIn_ = kFirstReorder;
    uint16_t sym_[kMaxSymbols];
    uint16_t cum_[kMaxSymbols + 1];
};

}  // namespace pakrel
