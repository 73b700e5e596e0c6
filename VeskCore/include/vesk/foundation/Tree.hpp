// Trees of records whose children are records of their own type (call
// trees, flame graphs), built to be deep: copying a subtree shares its
// children, and equality, hashing and destruction walk with a stack of their
// own instead of recursing by depth.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "vesk/foundation/Hashing.hpp"
#include "vesk/foundation/Json.hpp"

namespace vesk {

/// The children of a tree node: an immutable list shared between copies and
/// copied only when one copy is changed, so copying a whole subtree costs one
/// reference. The node type names this field `children`.
template <class T>
class SharedChildren {
  public:
    SharedChildren() = default;
    SharedChildren(std::initializer_list<T> nodes) {
        if (nodes.size() > 0) p_ = std::make_shared<std::vector<T>>(nodes);
    }
    explicit SharedChildren(std::vector<T> nodes) {
        if (!nodes.empty()) p_ = std::make_shared<std::vector<T>>(std::move(nodes));
    }
    SharedChildren(const SharedChildren&) = default;
    SharedChildren(SharedChildren&& o) noexcept = default;
    SharedChildren& operator=(const SharedChildren& o) {
        if (this != &o) {
            auto keep = o.p_;
            release();
            p_ = std::move(keep);
        }
        return *this;
    }
    SharedChildren& operator=(SharedChildren&& o) noexcept {
        if (this != &o) {
            release();
            p_ = std::move(o.p_);
        }
        return *this;
    }
    ~SharedChildren() { release(); }

    [[nodiscard]] std::size_t size() const noexcept { return p_ ? p_->size() : 0; }
    [[nodiscard]] bool empty() const noexcept { return size() == 0; }
    const T& operator[](std::size_t i) const { return (*p_)[i]; }
    const T& front() const { return p_->front(); }
    const T& back() const { return p_->back(); }
    const T* begin() const noexcept { return p_ ? p_->data() : nullptr; }
    const T* end() const noexcept { return p_ ? p_->data() + p_->size() : nullptr; }
    /// True when both lists are the same storage (and so equal).
    [[nodiscard]] bool sharesWith(const SharedChildren& o) const noexcept {
        return p_ != nullptr && p_ == o.p_;
    }

    // Changes make this list's own copy first when it is shared.
    void reserve(std::size_t n) { own().reserve(n); }
    template <class... A>
    T& emplace_back(A&&... args) {
        return own().emplace_back(std::forward<A>(args)...);
    }
    void push_back(T node) { own().push_back(std::move(node)); }
    T& at(std::size_t i) { return own().at(i); }

  private:
    std::vector<T>& own() {
        if (!p_) {
            p_ = std::make_shared<std::vector<T>>();
        } else if (p_.use_count() > 1) {
            p_ = std::make_shared<std::vector<T>>(*p_);
        }
        return *p_;
    }

    // Drops this reference. The last owner of a list takes its nodes'
    // children out before the nodes go, so a chain of any depth is torn down
    // in a loop, never by recursion.
    void release() noexcept {
        if (!p_) return;
        if (p_.use_count() > 1) {
            p_.reset();
            return;
        }
        std::vector<std::shared_ptr<std::vector<T>>> pending;
        try {
            pending.push_back(std::move(p_));
        } catch (...) {
            p_.reset();  // cannot happen for one element on most systems
            return;
        }
        while (!pending.empty()) {
            std::shared_ptr<std::vector<T>> list = std::move(pending.back());
            pending.pop_back();
            if (list.use_count() == 1) {
                for (T& node : *list) {
                    if (node.children.p_) {
                        try {
                            pending.push_back(std::move(node.children.p_));
                        } catch (...) {
                            node.children.p_.reset();
                        }
                    }
                }
            }
        }
    }

    std::shared_ptr<std::vector<T>> p_;
};

namespace detail {

template <class T>
constexpr std::size_t treeFieldCount = std::tuple_size_v<decltype(RecordFields<T>::fields)>;

// Calls f(fieldOfA, fieldOfB) for every field but the children.
template <class T, class F>
void forOwnFields(const T& a, const T& b, F&& f) {
    std::apply(
        [&](const auto&... field) {
            (
                [&] {
                    using M = std::remove_cvref_t<decltype(a.*(field.member))>;
                    if constexpr (!std::is_same_v<M, SharedChildren<T>>) {
                        f(a.*(field.member), b.*(field.member));
                    }
                }(),
                ...);
        },
        RecordFields<T>::fields);
}

}  // namespace detail

/// Equality of two trees over every field of every node, walked with a stack.
template <class T>
bool treeEqual(const T& a, const T& b) {
    std::vector<std::pair<const T*, const T*>> pending{{&a, &b}};
    while (!pending.empty()) {
        const auto [x, y] = pending.back();
        pending.pop_back();
        bool same = true;
        detail::forOwnFields(*x, *y, [&](const auto& u, const auto& v) { same = same && u == v; });
        if (!same || x->children.size() != y->children.size()) return false;
        if (x->children.sharesWith(y->children)) continue;
        for (std::size_t i = 0; i < x->children.size(); ++i) {
            pending.emplace_back(&x->children[i], &y->children[i]);
        }
    }
    return true;
}

/// A hash over every field of every node and the tree's shape, walked with a stack.
template <class T>
std::size_t treeHash(const T& root) {
    std::size_t seed = 0;
    std::vector<const T*> pending{&root};
    while (!pending.empty()) {
        const T* node = pending.back();
        pending.pop_back();
        detail::forOwnFields(*node, *node,
                             [&](const auto& u, const auto&) { hashCombine(seed, hashValue(u)); });
        hashCombine(seed, node->children.size());
        for (std::size_t i = node->children.size(); i > 0; --i)
            pending.push_back(&node->children[i - 1]);
    }
    return seed;
}

/// Visits a forest in depth-first pre-order, calling f(node, depth).
template <class T, class F>
void forEachPreOrder(const T* roots, std::size_t count, F&& f) {
    std::vector<std::pair<const T*, std::size_t>> pending;
    for (std::size_t i = count; i > 0; --i) pending.emplace_back(&roots[i - 1], 0);
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        f(*node, depth);
        for (std::size_t i = node->children.size(); i > 0; --i) {
            pending.emplace_back(&node->children[i - 1], depth + 1);
        }
    }
}

}  // namespace vesk
