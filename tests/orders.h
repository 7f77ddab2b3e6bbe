// The order of summation of entries 0 to 11, one output at a time, as a tree
// of additions over the 36 products p_j = M[i][j] * x[j], with the arithmetic
// that evaluates it; and the changes of each order that can be named: two
// neighbouring terms swapped, a start from +0.0 added or dropped, another
// arithmetic, another entry's order. The tests use them to show that their
// hand-built vectors tell each order from every such change. (The fixed-point
// entries 12 and 13 sum with wrapping integer adds: their order changes no bit.)
#ifndef CIRCUIT_TESTS_ORDERS_H
#define CIRCUIT_TESTS_ORDERS_H

#include <algorithm>
#include <string>
#include <vector>

#include "circuit.h"

namespace orders {

enum class Arithmetic {
    Double,       // exact products, sums rounded to double, the result to float (x87)
    Single,       // products and sums rounded to float (3DNow!, SSE)
    StoredDouble, // exact products, every sum rounded to double, then stored as float (entry 0)
};

constexpr int kZero = -1; // the term +0.0

struct Node {
    int term = kZero;           // leaves: the product index, or kZero
    int left = -1, right = -1;  // additions: the two operands (node indices)
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
    // a + t0 + t1 + ... from left to right.
    int chain(int start, const std::vector<int>& terms) {
        for (int t : terms) start = add(start, leaf(t));
        return start;
    }
    bool isLeaf(int n) const { return nodes[n].left < 0; }
};

inline std::vector<int> range(int first, int last, int step = 1) {
    std::vector<int> r;
    for (int j = first; j <= last; j += step) r.push_back(j);
    return r;
}

// The order entry `index` (0 to 11) defines.
inline Order entryOrder(int index) {
    Order o;
    if (index == 0 || index == 1) { // +0.0, then p0 ... p35
        o.root = o.chain(o.leaf(kZero), range(0, 35));
        o.arithmetic = index == 0 ? Arithmetic::StoredDouble : Arithmetic::Double;
    } else if (index == 2) { // p35 + p1, p2 ... p33, p0, p34
        std::vector<int> rest = range(2, 33);
        rest.push_back(0);
        rest.push_back(34);
        o.root = o.chain(o.add(o.leaf(35), o.leaf(1)), rest);
    } else if (index == 3) { // groups of eight through one tree
        auto group = [&o](int v0, int j) {
            auto p = [&o, j](int k) { return o.leaf(j + k - 1); };
            return o.add(o.add(o.add(v0, p(7)), o.add(p(3), p(4))), o.add(o.add(p(1), p(6)), o.add(p(2), p(5))));
        };
        int s = o.leaf(0);
        for (int j = 1; j <= 29; j += 7) s = group(s, j);
        o.root = s;
    } else if (index == 4) { // L, T, N
        int l = o.leaf(0), n = o.leaf(1), t = o.leaf(2);
        for (int j = 3; j <= 33; j += 3) {
            l = o.add(l, n);
            t = o.add(t, o.leaf(j));
            n = o.add(o.leaf(j + 1), o.leaf(j + 2));
        }
        o.root = o.add(o.add(l, t), n);
    } else if (index == 6) { // even and odd columns from +0.0, then E + O
        o.root = o.add(o.chain(o.leaf(kZero), range(0, 34, 2)), o.chain(o.leaf(kZero), range(1, 35, 2)));
        o.arithmetic = Arithmetic::Single;
    } else { // entries 5 and 7 to 11: p0, p1 ... p35
        o.root = o.chain(o.leaf(0), range(1, 35));
        o.arithmetic = index == 5 ? Arithmetic::Double : Arithmetic::Single;
    }
    return o;
}

// One output by order `o`: m is its row of coefficients, x the input.
inline float evaluate(const Order& o, const float* m, const float* x) {
    struct Eval {
        const Order& o;
        const float* m;
        const float* x;
        double operator()(int n) const {
            const Node& k = o.nodes[n];
            if (o.isLeaf(n)) {
                if (k.term == kZero) return 0.0;
                const double p = static_cast<double>(m[k.term]) * x[k.term];
                return o.arithmetic == Arithmetic::Single ? round(p) : p;
            }
            const double sum = (*this)(k.left) + (*this)(k.right);
            return o.arithmetic == Arithmetic::Double ? sum : round(sum);
        }
        static double round(double v) {
            volatile float f = static_cast<float>(v); // a store: rounded also on x87
            return f;
        }
    };
    Eval e{o, m, x};
    volatile float y = static_cast<float>(e(o.root));
    return y;
}

// The order written out with commutative additions put in a fixed order, so
// that equal strings mean the same sums. Where sums are not stored, a chain
// start (+0.0 + a) + b is the same as (+0.0 + b) + a.
inline std::string canonical(const Order& o, int n = -1) {
    if (n < 0) return std::to_string(static_cast<int>(o.arithmetic)) + canonical(o, o.root);
    const Node& k = o.nodes[n];
    if (o.isLeaf(n)) return k.term == kZero ? "z" : std::to_string(k.term);
    std::string a = canonical(o, k.left), b = canonical(o, k.right);
    auto zeroAndLeaf = [&o](int c) {
        const Node& s = o.nodes[c];
        return !o.isLeaf(c) && o.isLeaf(s.left) && o.isLeaf(s.right) &&
               (o.nodes[s.left].term == kZero || o.nodes[s.right].term == kZero);
    };
    if (o.arithmetic != Arithmetic::StoredDouble && (o.isLeaf(k.right) || o.isLeaf(k.left)) &&
        (zeroAndLeaf(k.left) || zeroAndLeaf(k.right))) {
        const int start = zeroAndLeaf(k.left) ? k.left : k.right, other = start == k.left ? k.right : k.left;
        const Node& s = o.nodes[start];
        std::vector<std::string> t = {canonical(o, o.nodes[s.left].term == kZero ? s.right : s.left),
                                      canonical(o, other)};
        std::sort(t.begin(), t.end());
        return "Z(" + t[0] + "," + t[1] + ")";
    }
    if (b < a) std::swap(a, b);
    return "(" + a + "+" + b + ")";
}

// The terms in the order the definition writes them, left to right.
inline std::vector<int> writtenTerms(const Order& o) {
    std::vector<int> terms;
    struct Walk {
        const Order& o;
        std::vector<int>& out;
        void operator()(int n) const {
            if (o.isLeaf(n)) {
                if (o.nodes[n].term != kZero) out.push_back(n);
                return;
            }
            (*this)(o.nodes[n].left);
            (*this)(o.nodes[n].right);
        }
    };
    Walk{o, terms}(o.root);
    return terms; // node indices
}

struct Change {
    std::string what;
    Order order;
};

// Every change of entry `index`'s order that can be named, each different from
// the order itself.
inline std::vector<Change> namedChanges(int index) {
    const Order base = entryOrder(index);
    const std::string same = canonical(base);
    std::vector<Change> all;
    auto keep = [&](const std::string& what, const Order& o) {
        if (canonical(o) != same) all.push_back({what, o});
    };
    // Neighbouring terms, in the order the definition writes them, swapped.
    const std::vector<int> written = writtenTerms(base);
    for (size_t k = 0; k + 1 < written.size(); ++k) {
        Order o = base;
        std::swap(o.nodes[written[k]].term, o.nodes[written[k + 1]].term);
        keep("p" + std::to_string(base.nodes[written[k]].term) + " and p" +
                 std::to_string(base.nodes[written[k + 1]].term) + " swapped",
             o);
    }
    // A start from +0.0 dropped, or added before the first term.
    {
        Order o = base;
        bool dropped = false;
        for (Node& n : o.nodes)
            if (n.left >= 0 && o.nodes[n.left].left < 0 && o.nodes[n.left].term == kZero) {
                n = o.nodes[n.right];
                dropped = true;
            }
        if (!dropped) {
            const int first = o.leaf(o.nodes[written[0]].term), zero = o.leaf(kZero);
            o.nodes[written[0]] = {0, zero, first};
        }
        keep(dropped ? "no start from +0.0" : "a start from +0.0", o);
    }
    for (Arithmetic a : {Arithmetic::Double, Arithmetic::Single, Arithmetic::StoredDouble}) {
        Order o = base;
        o.arithmetic = a;
        keep("arithmetic " + std::to_string(static_cast<int>(a)), o);
    }
    for (int other = 0; other < 12; ++other)
        if (other != index) keep("entry " + std::to_string(other) + "'s order", entryOrder(other));
    return all;
}

} // namespace orders

#endif // CIRCUIT_TESTS_ORDERS_H
