// Red-black tree of size-keyed nodes, free of the Python C API.
//
// A tree node stands for one distinct size and holds that size's first
// block; further blocks of the size hang off it in a singly linked chain
// of smaller entries.  Chain entries come from another allocator size
// class than tree nodes, which keeps the nodes that a search visits close
// together in memory.  The tree code here never allocates, frees or
// touches a block pointer: the caller owns those, which keeps every
// function below usable without the interpreter and testable on its own.
//
// Every walk is iterative (parent pointers, no stack), so no depth of
// recursion depends on the input.
#pragma once
#include <cstdint>

namespace rb {

enum Color : int { RED = 0, BLACK = 1 };

// A further block of a size already present.
struct ChainEntry {
    ChainEntry* next_same_size;
    void* block_obj;
    uint64_t size;
    uint64_t insert_time_ns;
};

// The fields a search reads (size, left, right) come first after 16 bytes:
// the interpreter's small-object allocator places 64-byte blocks 48 bytes
// into a cache line, so offsets 16..63 share one line.
struct RBNode {
    RBNode* parent;
    Color color;
    uint64_t size;
    RBNode* left;
    RBNode* right;
    void* block_obj;
    ChainEntry* next_same_size;
    uint64_t insert_time_ns;
};
static_assert(sizeof(RBNode) == 64 && sizeof(ChainEntry) == 32);

inline bool is_red(const RBNode* n) { return n && n->color == RED; }
inline bool is_black(const RBNode* n) { return !n || n->color == BLACK; }

// Fills a fresh tree node: no links, no chain, red.
inline void init_node(RBNode* n, uint64_t size, void* block, uint64_t t_ns) {
    n->parent = n->left = n->right = nullptr;
    n->next_same_size = nullptr;
    n->color = RED;
    n->size = size;
    n->block_obj = block;
    n->insert_time_ns = t_ns;
}

inline void init_entry(ChainEntry* e, uint64_t size, void* block, uint64_t t_ns) {
    e->next_same_size = nullptr;
    e->size = size;
    e->block_obj = block;
    e->insert_time_ns = t_ns;
}

// Number of blocks of a tree node's size.
inline uint64_t chain_count(const RBNode* n) {
    uint64_t c = 1;
    for (const ChainEntry* e = n->next_same_size; e; e = e->next_same_size) ++c;
    return c;
}

struct Tree {
    RBNode* root = nullptr;

    // ---------------------------------------------------------- lookups

    RBNode* find_node(uint64_t size) const {
        RBNode* n = root;
        while (n && n->size != size) n = size < n->size ? n->left : n->right;
        return n;
    }

    // Tree node of the smallest size >= `size`, or null.
    RBNode* find_best_fit_node(uint64_t size) const {
        RBNode* cand = nullptr;
        RBNode* n = root;
        while (n) {
            if (n->size >= size) {
                cand = n;
                if (n->size == size) break;  // nothing smaller can still fit
                n = n->left;
            } else {
                n = n->right;
            }
        }
        return cand;
    }

    static RBNode* minimum(RBNode* n) {
        while (n->left) n = n->left;
        return n;
    }

    // ---------------------------------------------------------- changes

    // The rebalancing cases come in mirror-image pairs.  Each pair is one
    // template over the two child links: `L` and `R` are left and right in
    // one case and swapped in its mirror image.
    using Link = RBNode* RBNode::*;

    // x's R child takes x's place and x becomes its L child:
    // rotate<&RBNode::left, &RBNode::right> is the left rotation.
    template <Link L, Link R>
    void rotate(RBNode* x) {
        RBNode* y = x->*R;
        x->*R = y->*L;
        if (y->*L) (y->*L)->parent = x;
        y->parent = x->parent;
        if (!x->parent)
            root = y;
        else if (x == x->parent->*L)
            x->parent->*L = y;
        else
            x->parent->*R = y;
        y->*L = x;
        x->parent = y;
    }

    // Links a fresh node whose size is not yet present and restores the
    // colouring.
    void insert_node(RBNode* z) {
        if (!root) {
            root = z;
            z->color = BLACK;
            return;
        }
        RBNode* p = root;
        for (;;) {
            RBNode*& slot = z->size < p->size ? p->left : p->right;
            if (!slot) {
                slot = z;
                z->parent = p;
                break;
            }
            p = slot;
        }
        fixup_insert(z);
    }

    void fixup_insert(RBNode* z) {
        while (is_red(z->parent)) {
            if (z->parent == z->parent->parent->left)  // a red node is never the root
                z = fixup_insert_step<&RBNode::left, &RBNode::right>(z);
            else
                z = fixup_insert_step<&RBNode::right, &RBNode::left>(z);
        }
        root->color = BLACK;
    }

    // One repair step for red `z` below a red parent that is its
    // grandparent's L child; returns the node the repair goes on from.
    template <Link L, Link R>
    RBNode* fixup_insert_step(RBNode* z) {
        RBNode* p = z->parent;
        RBNode* g = p->parent;
        RBNode* u = g->*R;
        if (is_red(u)) {
            p->color = u->color = BLACK;
            g->color = RED;
            return g;
        }
        if (z == p->*R) {
            z = p;
            rotate<L, R>(z);
        }
        z->parent->color = BLACK;
        z->parent->parent->color = RED;
        rotate<R, L>(z->parent->parent);
        return z;
    }

    // Puts subtree `v` (possibly null) in the place of `u`.
    void transplant(RBNode* u, RBNode* v) {
        if (!u->parent)
            root = v;
        else if (u == u->parent->left)
            u->parent->left = v;
        else
            u->parent->right = v;
        if (v) v->parent = u->parent;
    }

    // Unlinks tree node `z` and restores the colouring.  The parent of the
    // (possibly absent) child that moves into the vacated place is tracked,
    // so the repair also runs when that child is null.  `z` is left
    // detached; freeing it is the caller's business.
    void delete_node(RBNode* z) {
        RBNode* y = z;
        Color removed = y->color;
        RBNode* x;
        RBNode* xp;
        if (!z->left) {
            x = z->right;
            xp = z->parent;
            transplant(z, z->right);
        } else if (!z->right) {
            x = z->left;
            xp = z->parent;
            transplant(z, z->left);
        } else {
            y = minimum(z->right);
            removed = y->color;
            x = y->right;
            if (y->parent == z) {
                xp = y;
            } else {
                xp = y->parent;
                transplant(y, y->right);
                y->right = z->right;
                y->right->parent = y;
            }
            transplant(z, y);
            y->left = z->left;
            y->left->parent = y;
            y->color = z->color;
        }
        if (removed == BLACK) fixup_delete(x, xp);
        z->parent = z->left = z->right = nullptr;
    }

    // `x` (possibly null) carries an extra black; `xp` is its parent.
    void fixup_delete(RBNode* x, RBNode* xp) {
        while (x != root && is_black(x) && xp) {
            if (x == xp->left)
                fixup_delete_step<&RBNode::left, &RBNode::right>(x, xp);
            else
                fixup_delete_step<&RBNode::right, &RBNode::left>(x, xp);
        }
        if (x) x->color = BLACK;
    }

    // One repair step for `x`, the L child of `xp`; moves both on.
    template <Link L, Link R>
    void fixup_delete_step(RBNode*& x, RBNode*& xp) {
        RBNode* w = xp->*R;
        if (is_red(w)) {
            w->color = BLACK;
            xp->color = RED;
            rotate<L, R>(xp);
            w = xp->*R;
        }
        if (!w) {  // cannot happen in a valid tree; climb rather than crash
            x = xp;
            xp = x->parent;
            return;
        }
        if (is_black(w->*L) && is_black(w->*R)) {
            w->color = RED;
            x = xp;
            xp = x->parent;
            return;
        }
        if (is_black(w->*R)) {
            (w->*L)->color = BLACK;
            w->color = RED;
            rotate<R, L>(w);
            w = xp->*R;
        }
        w->color = xp->color;
        xp->color = BLACK;
        if (w->*R) (w->*R)->color = BLACK;
        rotate<L, R>(xp);
        x = root;
        xp = nullptr;
    }

    // Detaches the whole tree; the caller frees it with destroy().
    RBNode* detach() {
        RBNode* r = root;
        root = nullptr;
        return r;
    }
};

// ------------------------------------------------------------ traversal

// Pre-order successor (node, left subtree, right subtree) in the whole
// tree.  `depth` follows the walk: +1 per step down, -1 per step up.
inline RBNode* preorder_next(RBNode* n, int& depth) {
    if (n->left) {
        ++depth;
        return n->left;
    }
    if (n->right) {
        ++depth;
        return n->right;
    }
    while (n->parent) {
        RBNode* p = n->parent;
        if (n == p->left && p->right) return p->right;  // same depth
        n = p;
        --depth;
    }
    return nullptr;
}

// Calls f(node) for every tree node in pre-order.
template <typename F>
void for_each_preorder(RBNode* root, F&& f) {
    int depth = 0;
    for (RBNode* n = root; n; n = preorder_next(n, depth)) f(n);
}

// Number of nodes on the longest root-to-leaf path; 0 for an empty tree.
inline int32_t height(RBNode* root) {
    int depth = 1, best = 0;
    for (RBNode* n = root; n; n = preorder_next(n, depth))
        if (depth > best) best = depth;
    return best;
}

// Frees a detached tree: every chain entry and tree node goes through
// `release(pointer)` exactly once (a node's entries before the node), so
// `release` takes both RBNode* and ChainEntry*.  Needs no parent pointers
// and no stack: left children are rotated up until the current node has
// none, which turns the tree into a list.
template <typename F>
void destroy(RBNode* n, F&& release) {
    while (n) {
        if (n->left) {
            RBNode* l = n->left;
            n->left = l->right;
            l->right = n;
            n = l;
            continue;
        }
        RBNode* next = n->right;
        ChainEntry* e = n->next_same_size;
        while (e) {
            ChainEntry* en = e->next_same_size;
            release(e);
            e = en;
        }
        release(n);
        n = next;
    }
}

// Checks the search-tree order, the parent links, the colouring rules
// (black root, no red node with a red child, equal black counts on every
// path) and the chain entries' sizes.  Returns the black height
// (>= 1, counting the null leaves), or 0 when a rule is broken; on
// failure `why` names the rule.
inline int validate(const Tree& t, const char** why = nullptr) {
    const char* dummy;
    const char*& w = why ? *why : dummy;
    w = nullptr;
    RBNode* r = t.root;
    if (!r) return 1;
    if (r->parent) return w = "root has a parent", 0;
    if (r->color != BLACK) return w = "red root", 0;
    int depth = 0;
    int black_height = -1;
    for (RBNode* n = r; n; n = preorder_next(n, depth)) {
        if (n->left && (n->left->parent != n || n->left->size >= n->size)) return w = "left link or order", 0;
        if (n->right && (n->right->parent != n || n->right->size <= n->size)) return w = "right link or order", 0;
        if (n->color == RED && (is_red(n->left) || is_red(n->right))) return w = "red node with red child", 0;
        for (ChainEntry* e = n->next_same_size; e; e = e->next_same_size)
            if (e->size != n->size) return w = "chain entry", 0;
        if (!n->left || !n->right) {
            int b = 1;
            for (RBNode* a = n; a; a = a->parent) b += a->color == BLACK;
            if (black_height < 0) black_height = b;
            if (b != black_height) return w = "unequal black heights", 0;
        }
    }
    // Strict order across subtrees: an in-order walk must be increasing.
    RBNode* n = Tree::minimum(r);
    uint64_t prev = n->size;
    for (;;) {
        if (n->right) {
            n = Tree::minimum(n->right);
        } else {
            while (n->parent && n == n->parent->right) n = n->parent;
            n = n->parent;
        }
        if (!n) break;
        if (n->size <= prev) return w = "in-order sequence", 0;
        prev = n->size;
    }
    return black_height;
}

}  // namespace rb
