#include <collinear/orientation/point_match.h>

#include <string>
#include <unordered_map>

namespace collinear {

int MatchPointsByName(const CArray<CXYZ, CXYZ&>& target,
                      const CArray<CXYZ, CXYZ&>& source,
                      CArray<CXYZ, CXYZ&>& matched_target,
                      CArray<CXYZ, CXYZ&>& matched_source) {
  // Index of the first source point of every name; later points of a name
  // are never found. Built once, so matching is linear in the list lengths.
  std::unordered_map<std::string, INT_PTR> first_of_name;
  first_of_name.reserve(static_cast<size_t>(source.GetSize()));
  for (INT_PTR i = 0; i < source.GetSize(); ++i)
    first_of_name.emplace(source[i].m_strName.str(), i);

  // Collected apart so that the outputs may be the input arrays themselves.
  CArray<CXYZ, CXYZ&> pairs_target, pairs_source;
  for (INT_PTR i = 0; i < target.GetSize(); ++i) {
    const auto found = first_of_name.find(target[i].m_strName.str());
    if (found == first_of_name.end()) continue;
    CXYZ t = target[i];
    CXYZ s = source[found->second];
    pairs_target.Add(t);
    pairs_source.Add(s);
  }
  matched_target.Copy(pairs_target);
  matched_source.Copy(pairs_source);
  return static_cast<int>(pairs_target.GetSize());
}

}  // namespace collinear
