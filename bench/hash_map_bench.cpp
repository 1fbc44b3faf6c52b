// The binding map's workload: 1,000 keys "kind:window:object" (3:0:0 ... 3:0:999) with
// 16-byte values in a map of 1024 buckets, against std::unordered_map<std::u16string> and
// QHash<QString> holding the same keys. Each peer keeps the keys in its own string type.
#include <benchmark/benchmark.h>

#include <QHash>
#include <QString>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/hash_map.h"

namespace {

constexpr int kKeys = 1000;
constexpr int32_t kBuckets = 1024;

// The shape of a binding slot.
struct Slot {
  void* first;
  int64_t window;
};

std::u16string Key(int window, int object) {
  std::u16string key = u"3:";
  for (char c : std::to_string(window))
    key += static_cast<char16_t>(c);
  key += u':';
  for (char c : std::to_string(object))
    key += static_cast<char16_t>(c);
  return key;
}

// Keys of window 0 are present; keys of window 1 are looked up without being there, as most
// of an event's four lookups are.
std::vector<std::u16string> Keys(int window) {
  std::vector<std::u16string> keys;
  for (int object = 0; object < kKeys; ++object)
    keys.push_back(Key(window, object));
  return keys;
}

std::vector<QString> QKeys(int window) {
  std::vector<QString> keys;
  for (const std::u16string& key : Keys(window)) {
    keys.push_back(QString::fromUtf16(key.data(), static_cast<qsizetype>(key.size())));
  }
  return keys;
}

Map* FilledMap(const std::vector<std::u16string>& keys) {
  Map* map = nullptr;
  NewMap(sizeof(Slot), 7, nullptr, &map, kBuckets);
  for (const std::u16string& key : keys)
    FindOrAddMapElement(map, key.c_str());
  return map;
}

void BM_InsertBindingKeys_Map(benchmark::State& state) {
  const std::vector<std::u16string> keys = Keys(0);
  Map* map = nullptr;
  NewMap(sizeof(Slot), 7, nullptr, &map, kBuckets);
  for (auto _ : state) {
    for (const std::u16string& key : keys) {
      auto* slot = static_cast<Slot*>(FindOrAddMapElement(map, key.c_str()));
      slot->window = 0;
    }
    benchmark::DoNotOptimize(map->element_count);
    ClearMap(map);
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  FreeMap(map);
}
BENCHMARK(BM_InsertBindingKeys_Map);

void BM_InsertBindingKeys_UnorderedMap(benchmark::State& state) {
  const std::vector<std::u16string> keys = Keys(0);
  std::unordered_map<std::u16string, Slot> map;
  map.reserve(kKeys);
  for (auto _ : state) {
    for (const std::u16string& key : keys)
      map[key].window = 0;
    benchmark::DoNotOptimize(map.size());
    map.clear();
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_InsertBindingKeys_UnorderedMap);

// QHash::clear() gives its buckets back, so every round reserves them again.
void BM_InsertBindingKeys_QHash(benchmark::State& state) {
  const std::vector<QString> keys = QKeys(0);
  for (auto _ : state) {
    QHash<QString, Slot> map;
    map.reserve(kKeys);
    for (const QString& key : keys)
      map[key].window = 0;
    benchmark::DoNotOptimize(map.size());
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_InsertBindingKeys_QHash);

void BM_FindBindingKeys_Map(benchmark::State& state) {
  const std::vector<std::u16string> keys = Keys(0);
  const std::vector<std::u16string> lookups = Keys(static_cast<int>(state.range(0)));
  Map* map = FilledMap(keys);
  for (auto _ : state) {
    for (const std::u16string& key : lookups) {
      benchmark::DoNotOptimize(FindMapElement(map, key.c_str()));
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
  FreeMap(map);
}
BENCHMARK(BM_FindBindingKeys_Map)->Arg(0)->Arg(1)->ArgName("absent");

void BM_FindBindingKeys_UnorderedMap(benchmark::State& state) {
  const std::vector<std::u16string> keys = Keys(0);
  const std::vector<std::u16string> lookups = Keys(static_cast<int>(state.range(0)));
  std::unordered_map<std::u16string, Slot> map;
  for (const std::u16string& key : keys)
    map[key];
  for (auto _ : state) {
    for (const std::u16string& key : lookups) {
      auto found = map.find(key);
      benchmark::DoNotOptimize(found == map.end() ? nullptr : &found->second);
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_FindBindingKeys_UnorderedMap)->Arg(0)->Arg(1)->ArgName("absent");

void BM_FindBindingKeys_QHash(benchmark::State& state) {
  const std::vector<QString> keys = QKeys(0);
  const std::vector<QString> lookups = QKeys(static_cast<int>(state.range(0)));
  QHash<QString, Slot> map;
  for (const QString& key : keys)
    map[key];
  for (auto _ : state) {
    for (const QString& key : lookups) {
      auto found = map.constFind(key);
      benchmark::DoNotOptimize(found == map.constEnd() ? nullptr : &found.value());
    }
  }
  state.SetItemsProcessed(state.iterations() * kKeys);
}
BENCHMARK(BM_FindBindingKeys_QHash)->Arg(0)->Arg(1)->ArgName("absent");

}  // namespace

BENCHMARK_MAIN();
