// The order of summation of entries 0 to 11, one output at a time, as a tree
// of additions over the 36 products p_j = M[i][j] * x[j], with the arithmetic
// that evaluates it; and the changes of each order that can be named: two
// neighbouring terms swapped, a start from +0.0 added or dropped, another
// arithmetic, another entry's order. The tests use them to show that their
// hand-built vectors tell each order from every such change. (The fixed-point
// entries 12 and 13 sum with wrapping integer adds: their order changes no bit.)
#ifndef CIRCUIT_TESTS_ORDERS_H
#define CIRCUIT_TESTS_ORDERS_H

#include <string>
#include <utility>
#include <vector>

#include "circuit.h"

namespace orders {

enum class Arithmetic {
    Double,       // exact products, sums rounded to double, the result to float (x87)
    Single,       // products and sums rounded to float (3DNow!, SSE)
    StoredDouble, // exact products, each sum rounded to double and stored as a float (entry 0)
};

constexpr int kZero = -1; // the term +0.0

struct Node {
    int term = kZero;          // leaves: the product index, or kZero
    int left = -1, right = -1; // additions: the two operands (node indices)
};

struct Order {
    std::vector<Node> nodes;
    int root = -1;
    Arithmetic arithmetic = Arithmetic::Double;

    int leaf(int term) {
        nodes.push_back({term, -1, -1});
        return static_cast<int>(nodes.size()) - 1;
    }
    int add(int a, int b) {
        nodes.push_back({0, a, b});
        return static_cast<int>(nodes.size()) - 1;
    }
    int chain(int start, int first, int last, int step = 1) { // start + p_first + ... + p_last
        for (int j = first; j <= last; j += step) start = add(start, leaf(j));
        return start;
    }
    bool isLeaf(int n) const { return nodes[n].left < 0; }
    bool isZero(int n) const { return isLeaf(n) && nodes[n].term == kZero; }

    // The sum written out, e.g. "((z+0)+1)" (kept, like the order, as built).
    std::string text(int n = -1) const {
        if (n < 0) return std::to_string(static_cast<int>(arithmetic)) + text(root);
        if (isLeaf(n)) return isZero(n) ? "z" : std::to_string(nodes[n].term);
        return "(" + text(nodes[n].left) + "+" + text(nodes[n].right) + ")";
    }
    // Leaves other than +0.0, in the order the sum is written.
    void written(int n, std::vector<int>& out) const {
        if (isLeaf(n)) {
            if (!isZero(n)) out.push_back(n);
            return;
        }
        written(nodes[n].left, out);
        written(nodes[n].right, out);
    }
};

// The order entry `index` (0 to 11) defines.
inline Order entryOrder(int index) {
    Order o;
    if (index == 0 || index == 1) { // +0.0, then p0 ... p35
        o.root = o.chain(o.leaf(kZero), 0, 35);
        o.arithmetic = index == 0 ? Arithmetic::StoredDouble : Arithmetic::Double;
    } else if (index == 2) { // p35 + p1, p2 ... p33, p0, p34
        o.root = o.add(o.add(o.chain(o.add(o.leaf(35), o.leaf(1)), 2, 33), o.leaf(0)), o.leaf(34));
    } else if (index == 3) { // groups of eight through one tree; S = v0 from group 1 on
        int s = o.leaf(0);
        for (int j = 1; j <= 29; j += 7) {
            auto p = [&o, j](int k) { return o.leaf(j + k - 1); }; // v_k
            s = o.add(o.add(o.add(s, p(7)), o.add(p(3), p(4))), o.add(o.add(p(1), p(6)), o.add(p(2), p(5))));
        }
        o.root = s;
    } else if (index == 4) { // L, N, T rotated
        int l = o.leaf(0), n = o.leaf(1), t = o.leaf(2);
        for (int j = 3; j <= 33; j += 3) {
            l = o.add(l, n);
            t = o.add(t, o.leaf(j));
            n = o.add(o.leaf(j + 1), o.leaf(j + 2));
        }
        o.root = o.add(o.add(l, t), n);
    } else if (index == 6) { // even and odd columns from +0.0, then E + O
        o.root = o.add(o.chain(o.leaf(kZero), 0, 34, 2), o.chain(o.leaf(kZero), 1, 35, 2));
        o.arithmetic = Arithmetic::Single;
    } else { // entries 5 and 7 to 11: p0, p1 ... p35
        o.root = o.chain(o.leaf(0), 1, 35);
        o.arithmetic = index == 5 ? Arithmetic::Double : Arithmetic::Single;
    }
    return o;
}

inline double storedAsFloat(double v) {
    volatile float f = static_cast<float>(v); // a store: rounded on x87 builds too
    return f;
}

// One output by order `o`: m is its row of coefficients, x the input.
inline double evaluate(const Order& o, const float* m, const float* x, int n) {
    const Node& k = o.nodes[n];
    if (o.isLeaf(n)) {
        const double p = k.term == kZero ? 0.0 : static_cast<double>(m[k.term]) * x[k.term];
        return o.arithmetic == Arithmetic::Single ? storedAsFloat(p) : p;
    }
    const double sum = evaluate(o, m, x, k.left) + evaluate(o, m, x, k.right);
    return o.arithmetic == Arithmetic::Double ? sum : storedAsFloat(sum);
}
inline float evaluate(const Order& o, const float* m, const float* x) {
    return static_cast<float>(storedAsFloat(evaluate(o, m, x, o.root)));
}

// Every change of entry `index`'s order that can be named, each one giving
// other sums than the order itself on some data.
inline std::vector<std::pair<std::string, Order>> namedChanges(int index) {
    const Order base = entryOrder(index);
    std::vector<std::pair<std::string, Order>> all;
    std::vector<int> parent(base.nodes.size(), -1), w;
    for (int n = 0; n < static_cast<int>(base.nodes.size()); ++n)
        if (!base.isLeaf(n)) parent[base.nodes[n].left] = parent[base.nodes[n].right] = n;
    base.written(base.root, w);
    // Neighbouring terms swapped, unless they are the two operands of one
    // addition, or the first two after a start from +0.0 that is not stored.
    for (size_t k = 0; k + 1 < w.size(); ++k) {
        const int a = w[k], b = w[k + 1], pa = parent[a];
        const bool zeroFirst = !base.isLeaf(pa) && (base.isZero(base.nodes[pa].left)) && parent[b] == parent[pa];
        if (pa == parent[b] || (zeroFirst && base.arithmetic != Arithmetic::StoredDouble)) continue;
        Order o = base;
        std::swap(o.nodes[a].term, o.nodes[b].term);
        all.push_back({"p" + std::to_string(base.nodes[a].term) + " and p" + std::to_string(base.nodes[b].term) +
                           " swapped",
                       o});
    }
    // A start from +0.0 dropped, or added before the first term.
    Order o = base;
    bool dropped = false;
    for (Node& n : o.nodes)
        if (!o.isLeaf(static_cast<int>(&n - o.nodes.data())) && o.isZero(n.left)) {
            n = o.nodes[n.right];
            dropped = true;
        }
    if (!dropped) {
        const int first = o.leaf(o.nodes[w[0]].term), zero = o.leaf(kZero);
        o.nodes[w[0]] = {0, zero, first};
    }
    all.push_back({dropped ? "no start from +0.0" : "a start from +0.0", o});
    for (Arithmetic a : {Arithmetic::Double, Arithmetic::Single, Arithmetic::StoredDouble}) {
        Order changed = base;
        changed.arithmetic = a;
        if (a != base.arithmetic) all.push_back({"arithmetic " + std::to_string(static_cast<int>(a)), changed});
    }
    for (int other = 0; other < 12; ++other)
        if (entryOrder(other).text() != base.text())
            all.push_back({"entry " + std::to_string(other) + "'s order", entryOrder(other)});
    return all;
}

} // namespace orders

#endif // CIRCUIT_TESTS_ORDERS_H
