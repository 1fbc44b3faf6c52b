#include "runtime/list.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "runtime/hash_map.h"
#include "runtime/runtime_test_support.h"
#include "runtime/string_stack.h"

namespace {

struct TaggedRecord {
  char16_t* name;
  int64_t number;
  Map* tags;
};
const StructureDescriptor kTaggedRecordDescriptor[] = {
    offsetof(TaggedRecord, name), DescMap, offsetof(TaggedRecord, tags), 8, 3, 0, 4, DescEnd};

int64_t& Number(void* value) {
  return *static_cast<int64_t*>(value);
}

class ListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RegisterMapHooks();
    RegisterListHooks();
  }
  void TearDown() override {
    FreeList(list_);
    FreeList(other_);
  }

  // A list of plain numbers in field_.
  List* NumberList(std::initializer_list<int64_t> numbers) {
    list_ = NewList(sizeof(int64_t), &field_, nullptr, 1);
    for (int64_t number : numbers)
      Number(AddElement(list_)) = number;
    return list_;
  }

  // The values from the first element forwards, checking every back link on the way.
  static std::vector<int64_t> Numbers(const List* list) {
    std::vector<int64_t> numbers;
    ListElement* previous = nullptr;
    for (ListElement* element = list->first; element != nullptr; element = element->next) {
      EXPECT_EQ(element->previous, previous);
      numbers.push_back(Number(ListElementValue(element)));
      previous = element;
    }
    EXPECT_EQ(list->last, previous);
    EXPECT_EQ(static_cast<int64_t>(numbers.size()), list->count);
    return numbers;
  }

  static std::vector<std::u16string> Names(const List* list) {
    std::vector<std::u16string> names;
    for (ListElement* element = list->first; element != nullptr; element = element->next) {
      names.push_back(Text(static_cast<TaggedRecord*>(ListElementValue(element))->name));
    }
    return names;
  }

  ListField field_{};
  List* list_ = nullptr;
  List* other_ = nullptr;
};

TEST_F(ListTest, AddingThreeKeepsTheirOrderAndTheLastIsCurrent) {
  NumberList({10, 20, 30});
  EXPECT_EQ(Numbers(list_), (std::vector<int64_t>{10, 20, 30}));
  EXPECT_EQ(list_->current_index, 2);
  EXPECT_EQ(list_->current, list_->last);
  EXPECT_EQ(field_.list, list_);
  EXPECT_EQ(field_.current, list_->current);
  EXPECT_EQ(list_->before_first, 0);
}

TEST_F(ListTest, AddingAfterASelectionInsertsBehindIt) {
  NumberList({10, 20, 30});
  EXPECT_EQ(Number(SelectElement(list_, 0)), 10);
  Number(AddElement(list_)) = 15;
  EXPECT_EQ(Numbers(list_), (std::vector<int64_t>{10, 15, 20, 30}));
  EXPECT_EQ(list_->current_index, 1);
  EXPECT_EQ(Number(ListElementValue(field_.current)), 15);
}

TEST_F(ListTest, SelectingOutOfRangeLeavesNoCurrentAndTheNextAddGoesToTheHead) {
  NumberList({10, 20, 30});
  for (int64_t index : {int64_t{3}, int64_t{-1}, int64_t{1} << 40}) {
    SelectElement(list_, 1);
    EXPECT_EQ(SelectElement(list_, index), nullptr);
    EXPECT_EQ(list_->current, nullptr);
    EXPECT_EQ(field_.current, nullptr);
    EXPECT_EQ(list_->before_first, 1);
  }
  Number(AddElement(list_)) = 5;
  EXPECT_EQ(Numbers(list_), (std::vector<int64_t>{5, 10, 20, 30}));
  EXPECT_EQ(list_->current_index, 0);
}

TEST_F(ListTest, SelectionFindsEveryIndexFromEveryPosition) {
  NumberList({0, 1, 2, 3, 4, 5, 6, 7, 8});
  for (int64_t from = -1; from < 9; ++from) {
    for (int64_t index = 0; index < 9; ++index) {
      SelectElement(list_, from);
      void* value = SelectElement(list_, index);
      ASSERT_NE(value, nullptr);
      EXPECT_EQ(Number(value), index) << "from " << from;
      EXPECT_EQ(list_->current_index, index);
      EXPECT_EQ(ListElementValue(field_.current), value);
    }
  }
}

// A decoy stands in for the target on one side only: reached over the forward links it
// answers 1000 + index, over the backward links 2000 + index, so the answer tells which
// way the selection walked (the plain index: it did not move at all).
struct Decoy {
  ListElement links;
  int64_t number;
};

int64_t SelectThroughDecoys(List* list, int64_t index) {
  std::vector<ListElement*> elements;
  for (ListElement* element = list->first; element; element = element->next) {
    elements.push_back(element);
  }
  const auto last = static_cast<int64_t>(elements.size()) - 1;
  ListElement* before = index > 0 ? elements[index - 1] : nullptr;
  ListElement* after = index < last ? elements[index + 1] : nullptr;
  Decoy forward{{after, before}, 1000 + index};
  Decoy backward{{after, before}, 2000 + index};
  if (before) before->next = &forward.links;
  if (after) after->previous = &backward.links;
  const int64_t answer = Number(SelectElement(list, index));
  if (before) before->next = elements[index];
  if (after) after->previous = elements[index];
  SelectElement(list, -1);
  return answer;
}

TEST_F(ListTest, SelectionWalksFromTheNearestKnownElement) {
  NumberList({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  struct Case {
    int64_t from;  // -1: no current element
    int64_t index;
    int64_t answer;
  };
  const Case cases[] = {
      {-1, 4, 1004},                // below count / 2: forward from the first
      {-1, 5, 2005},                // from count / 2 on: backward from the last
      {-1, 0, 0},    {2, 5, 1005},  // ahead, nearer the current: forward from it
      {2, 6, 2006},                 // ahead, as near the last: backward from the last
      {2, 1, 1001},                 // behind, as near the first: forward from the first
      {2, 2, 2},     {7, 4, 2004},  // behind, nearer the current: backward from it
      {7, 3, 1003},  {7, 8, 1008},
  };
  for (const Case& c : cases) {
    SelectElement(list_, c.from);
    EXPECT_EQ(SelectThroughDecoys(list_, c.index), c.answer)
        << "from " << c.from << " to " << c.index;
  }
  EXPECT_EQ(Numbers(list_), (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(ListTest, ClearReleasesValuesAndStartsOver) {
  const int64_t before = LiveHeapBytes();
  list_ = NewList(sizeof(TaggedRecord), &field_, kTaggedRecordDescriptor, 2);
  EXPECT_EQ(list_->needs_init, 1);
  for (const char16_t* name : {u"a", u"b"}) {
    auto* record = static_cast<TaggedRecord*>(AddElement(list_));
    ASSERT_NE(record->tags, nullptr);
    AssignString(&record->name, name);
    AddMapElement(record->tags, name, 1);
  }
  ClearList(list_);
  EXPECT_EQ(list_->count, 0);
  EXPECT_EQ(list_->first, nullptr);
  EXPECT_EQ(list_->last, nullptr);
  EXPECT_EQ(field_.current, nullptr);
  EXPECT_EQ(list_->before_first, 1);
  FreeList(list_);
  list_ = nullptr;
  EXPECT_EQ(field_.list, nullptr);
  EXPECT_EQ(LiveHeapBytes(), before);
}

TEST_F(ListTest, CopyInsertsDeepCopiesAfterTheDestinationsCurrentElement) {
  const int64_t before = LiveHeapBytes();
  list_ = NewList(sizeof(TaggedRecord), &field_, kTaggedRecordDescriptor, 2);
  for (const char16_t* name : {u"x", u"y"}) {
    auto* record = static_cast<TaggedRecord*>(AddElement(list_));
    AssignString(&record->name, name);
    Number(AddMapElement(record->tags, u"size", 1)) = name[0];
  }
  other_ = NewList(sizeof(TaggedRecord), nullptr, kTaggedRecordDescriptor, 2);
  EXPECT_EQ(other_->owns_field, 1);
  for (const char16_t* name : {u"a", u"b"}) {
    AssignString(&static_cast<TaggedRecord*>(AddElement(other_))->name, name);
  }
  SelectElement(other_, 0);

  EXPECT_EQ(CopyList(list_, 2, other_, 3, 0), 0);
  EXPECT_EQ(other_->count, 2);
  ASSERT_EQ(CopyList(list_, 2, other_, 2, 0), 1);
  EXPECT_EQ(Names(other_), (std::vector<std::u16string>{u"a", u"x", u"y", u"b"}));
  auto* copied_x = static_cast<TaggedRecord*>(ListElementValue(other_->first->next));
  EXPECT_NE(copied_x->name, static_cast<TaggedRecord*>(ListElementValue(list_->first))->name);
  EXPECT_NE(copied_x->tags, static_cast<TaggedRecord*>(ListElementValue(list_->first))->tags);
  EXPECT_EQ(Number(FindMapElement(copied_x->tags, u"size")), u'x');
  EXPECT_EQ(other_->current_index, 2);

  ASSERT_EQ(ClearAndCopyList(list_, 2, other_, 2), 1);
  EXPECT_EQ(Names(other_), (std::vector<std::u16string>{u"x", u"y"}));
  EXPECT_EQ(CopyList(other_, 2, other_, 2, 1), 1);
  EXPECT_EQ(other_->count, 2);

  FreeList(other_);
  other_ = nullptr;
  FreeList(list_);
  list_ = nullptr;
  EXPECT_EQ(LiveHeapBytes(), before);
}

TEST_F(ListTest, ListsOfDifferentValueSizesDoNotCopy) {
  NumberList({1});
  other_ = NewList(16, nullptr, nullptr, 1);
  EXPECT_EQ(CopyList(list_, 1, other_, 1, 1), 0);
  EXPECT_EQ(CopyList(list_, 1, nullptr, 1, 1), 0);
  EXPECT_EQ(other_->count, 0);
}

}  // namespace
