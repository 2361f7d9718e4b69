// Support routines: the splay step against a plain in-order model, the
// zero-filled tables, the shared free list, 32-bit "%p" output and the fatal
// routine with its hook.
#include "libvantle/util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "isolate.h"

namespace {

int subtree_size(const tree_node *n) {
  return n ? 1 + subtree_size(n->lft) + subtree_size(n->rt) : 0;
}

void in_order(const tree_node *n, std::vector<uint32_t> &keys) {
  if (!n) return;
  in_order(n->lft, keys);
  keys.push_back(n->inum);
  in_order(n->rt, keys);
}

// Every rtwt equals the size of the node's right subtree.
bool weights_hold(const tree_node *n) {
  if (!n) return true;
  return n->rtwt == subtree_size(n->rt) && weights_hold(n->lft) &&
         weights_hold(n->rt);
}

// Builds an unbalanced search tree by plain insertion of the given keys.
tree_node *insert_plain(tree_node *root, tree_node *node) {
  if (!root) return node;
  tree_node *cur = root;
  for (;;) {
    if (node->inum < cur->inum) {
      if (!cur->lft) { cur->lft = node; break; }
      cur = cur->lft;
    } else {
      cur->rtwt++;
      if (!cur->rt) { cur->rt = node; break; }
      cur = cur->rt;
    }
  }
  return root;
}

TEST(Splay, KeepsOrderAndWeightsWhileLiftingAnyNodeToTheRoot) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; round++) {
    int count = 2 + rng() % 60;
    std::vector<tree_node> nodes(count);
    std::vector<uint32_t> keys(count);
    for (int i = 0; i < count; i++) keys[i] = i * 3;
    std::shuffle(keys.begin(), keys.end(), rng);
    tree_node *root = nullptr;
    for (int i = 0; i < count; i++) {
      nodes[i] = tree_node{};
      nodes[i].inum = keys[i];
      root = insert_plain(root, &nodes[i]);
    }
    std::vector<uint32_t> before;
    in_order(root, before);

    // The path from the root to a random node, as callers record it.
    tree_node *target = &nodes[rng() % count];
    std::vector<tree_node *> path(count + 2, nullptr);
    int top = 0;
    for (tree_node *cur = root;;) {
      path[++top] = cur;
      if (cur == target) break;
      cur = target->inum < cur->inum ? cur->lft : cur->rt;
    }
    tree_node *beyond = path[top + 1];
    for (int at = top; at > 1; at -= 2) {
      splay(at, path.data());
      std::vector<uint32_t> now;
      in_order(path[1], now);
      ASSERT_EQ(now, before);
      ASSERT_TRUE(weights_hold(path[1]));
    }
    EXPECT_EQ(path[1], target) << "the node rises to the root";
    EXPECT_EQ(path[top + 1], beyond) << "entries above at are untouched";
  }
}

TEST(Idim2, GivesZeroFilledIndependentRows) {
  uint32_t **t = idim2(5, 7);
  for (int r = 0; r < 5; r++)
    for (int c = 0; c < 7; c++) EXPECT_EQ(t[r][c], 0u);
  t[2][6] = 9;
  EXPECT_EQ(t[3][0], 0u);
  EXPECT_EQ(t[2][6], 9u);
  free(t[0]);  // the rows share one block
  free(t);
}

TEST(FreeList, ReturnsRecordsLastInFirstOutThenNull) {
  ChildOutcome o = run_isolated([] {
    hash_table a{}, b{};
    UHT_Add_to_free_list(&a);
    UHT_Add_to_free_list(&b);
    hash_table *first = UHT_Get_from_free_list();
    hash_table *second = UHT_Get_from_free_list();
    hash_table *third = UHT_Get_from_free_list();
    printf("%d %d %d", first == &b, second == &a, third == nullptr);
  });
  EXPECT_EQ(o.out, "1 1 1");
}

TEST(Myfprintf, PrintsEachPercentPAsA32BitHexAddress) {
  ChildOutcome o = run_isolated([] {
    md_addr_t addr = 0xdeadbeefu;
    myfprintf(stdout, "addr: 0x%p; t_entries: %u; prty: %d\n", addr, 42u,
              -7);
    myfprintf(stdout, "%s %5.2f %lu %% %p|", "x", 2.5, 123456789012UL,
              static_cast<md_addr_t>(0x10));
  });
  EXPECT_EQ(o.out,
            "addr: 0xdeadbeef; t_entries: 42; prty: -7\n"
            "x  2.50 123456789012 % 10|");
}

FILE *hook_stream;
void record_hook(FILE *stream) {
  hook_stream = stream;
  fprintf(stream, "hook ran\n");
}

TEST(Fatal, NamesUnitFunctionAndLineThenRunsTheHookAndFails) {
  ChildOutcome o = run_isolated([] {
    fatal_hook(record_hook);
    _fatal("widestack", "init_widestack", 42, "out of %s memory", "virtual");
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err,
            "fatal: out of virtual memory [widestack:init_widestack, line "
            "42]\nhook ran\n");
}

TEST(Fatal, CheckedCallocRefusesASizeBeyondTheAddressSpace) {
  ChildOutcome o = run_isolated([] {
    checked_calloc(SIZE_MAX / 2, 4, "rowseer", "init_rowseer", 7);
  });
  EXPECT_EQ(o.status, 1);
  EXPECT_NE(o.err.find("out of virtual memory [rowseer:init_rowseer"),
            std::string::npos);
}

}  // namespace
