// Helpers for the models' description texts: printf-style formatting into a
// string, the root object's own description ("<Class: 0xaddress>") and the
// description of a list of models.
#pragma once

#include <memory>
#include <string>
#include <vector>

std::string MCFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string MCObjectDescription(const char* className, const void* object);
std::string MCListDescription(const std::vector<std::string>& items);

template <class T>
std::string MCListDescription(const std::vector<std::shared_ptr<T>>& items) {
  std::vector<std::string> texts;
  for (const auto& i : items) texts.push_back(i ? i->description() : std::string("(null)"));
  return MCListDescription(texts);
}

template <class T>
std::string MCListDescription(const std::shared_ptr<std::vector<std::shared_ptr<T>>>& items) {
  return items ? MCListDescription(*items) : std::string("(null)");
}

