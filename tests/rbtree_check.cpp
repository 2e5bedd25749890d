// Checks the native tree core of the free-block tree (rbtree.hpp) on its
// own: after every step the red-black rules, the search-tree order, the
// height bound 2*log2(n+1) and the contents against a std::map model.
//
//   rbtree_check < ops      one operation a line: "i SIZE" insert a block,
//                           "d SIZE" delete one block of that size,
//                           "g SIZE" remove the best fit >= SIZE, "c" clear
//   rbtree_check stress N   N random inserts, then deletes in random order
//
// Prints "ok STEPS" and exits 0, or prints the failure and exits 1.
#include "rbtree.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace {

struct Harness {
    rb::Tree t;
    std::map<uint64_t, int> model;  // size -> number of blocks
    long steps = 0;

    ~Harness() { clear(); }

    static rb::RBNode* make(uint64_t size) {
        auto* n = new rb::RBNode;
        rb::init_node(n, size, nullptr, 0);
        return n;
    }

    void insert(uint64_t size) {
        if (rb::RBNode* existing = t.find_node(size)) {
            auto* e = new rb::ChainEntry;
            rb::init_entry(e, size, nullptr, 0);
            e->next_same_size = existing->next_same_size;
            existing->next_same_size = e;
        } else {
            t.insert_node(make(size));
        }
        ++model[size];
    }

    // One block of the node's size goes: a chain entry if there is one,
    // else the tree node itself.
    void remove_one(rb::RBNode* n) {
        if (rb::ChainEntry* e = n->next_same_size) {
            n->next_same_size = e->next_same_size;
            delete e;
        } else {
            t.delete_node(n);
            delete n;
        }
    }

    bool erase(uint64_t size) {
        rb::RBNode* n = t.find_node(size);
        auto it = model.find(size);
        if (!n != (it == model.end())) return fail("find_node disagrees with the model");
        if (!n) return true;
        remove_one(n);
        if (--it->second == 0) model.erase(it);
        return true;
    }

    bool remove_ge(uint64_t size) {
        rb::RBNode* n = t.find_best_fit_node(size);
        auto it = model.lower_bound(size);
        if (!n != (it == model.end())) return fail("best fit disagrees with the model (presence)");
        if (!n) return true;
        if (n->size != it->first) return fail("best fit disagrees with the model (size)");
        remove_one(n);
        if (--it->second == 0) model.erase(it);
        return true;
    }

    void clear() {
        rb::destroy(t.detach(), [](auto* n) { delete n; });
        model.clear();
    }

    bool fail(const char* why) {
        std::printf("FAIL at step %ld: %s\n", steps, why);
        return false;
    }

    static int ref_height(const rb::RBNode* n) {
        if (!n) return 0;
        int l = ref_height(n->left), r = ref_height(n->right);
        return 1 + (l > r ? l : r);
    }

    static void ref_preorder(rb::RBNode* n, std::vector<rb::RBNode*>& out) {
        if (!n) return;
        out.push_back(n);
        ref_preorder(n->left, out);
        ref_preorder(n->right, out);
    }

    bool check(bool deep = true) {
        ++steps;
        const char* why = nullptr;
        if (rb::validate(t, &why) == 0) return fail(why);
        size_t n = model.size();
        int h = rb::height(t.root);
        if (h > 2.0 * std::log2(static_cast<double>(n) + 1.0) + 1e-9) return fail("height above 2*log2(n+1)");
        if (!deep) return true;
        if (h != ref_height(t.root)) return fail("height walk");
        std::vector<rb::RBNode*> want, got;
        ref_preorder(t.root, want);
        rb::for_each_preorder(t.root, [&](rb::RBNode* x) { got.push_back(x); });
        if (want != got) return fail("pre-order walk");
        if (got.size() != n) return fail("node count");
        for (rb::RBNode* x : got) {
            auto it = model.find(x->size);
            if (it == model.end()) return fail("size not in the model");
            if (rb::chain_count(x) != static_cast<uint64_t>(it->second)) return fail("chain length");
        }
        return true;
    }
};

int stress(long count) {
    Harness h;
    std::mt19937_64 rng(12345);
    std::vector<uint64_t> sizes;
    sizes.reserve(count);
    for (long i = 0; i < count; ++i) {
        uint64_t s = rng() % (static_cast<uint64_t>(count) * 4);
        sizes.push_back(s);
        h.insert(s);
        if (i % 8192 == 0 && !h.check(false)) return 1;
    }
    if (!h.check()) return 1;
    for (long i = count - 1; i > 0; --i) std::swap(sizes[i], sizes[rng() % (i + 1)]);
    long i = 0;
    for (uint64_t s : sizes) {
        if (!h.erase(s)) return 1;
        if (++i % 8192 == 0 && !h.check(false)) return 1;
    }
    if (!h.check()) return 1;
    if (h.t.root) return h.fail("tree not empty");
    std::printf("ok %ld\n", h.steps);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "stress") == 0) return stress(std::atol(argv[2]));
    Harness h;
    char op;
    unsigned long long size = 0;
    char line[128];
    while (std::fgets(line, sizeof line, stdin)) {
        if (std::sscanf(line, " %c %llu", &op, &size) < 1) continue;
        bool ok = true;
        switch (op) {
            case 'i': h.insert(size); break;
            case 'd': ok = h.erase(size); break;
            case 'g': ok = h.remove_ge(size); break;
            case 'c': h.clear(); break;
            default: std::printf("FAIL: bad operation %c\n", op); return 1;
        }
        if (!ok || !h.check()) return 1;
    }
    std::printf("ok %ld\n", h.steps);
    return 0;
}
