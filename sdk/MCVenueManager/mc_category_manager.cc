#include "MCVenueManager/mc_category_manager.h"

#include <cstdlib>
#include <utility>

#include "MCArchiveManager/mc_archive_manager.h"
#include "Foundation/mc_log.h"
#include "platform/mutex.h"
#include "platform/xml_parser.h"

std::shared_ptr<MCCategoryManager> MCCategoryManager::sharedInstance() {
  static const std::shared_ptr<MCCategoryManager> instance = std::make_shared<MCCategoryManager>();
  return instance;
}

MCCategoryManager::MCCategoryManager() : archiveManager_(MCArchiveManager::sharedInstance()) {}

std::shared_ptr<MCArchiveManager> MCCategoryManager::archiveManager() const {
  platform::MutexLock lock(mutex_);
  return archiveManager_;
}

void MCCategoryManager::setArchiveManager(std::shared_ptr<MCArchiveManager> manager) {
  platform::MutexLock lock(mutex_);
  archiveManager_ = std::move(manager);
}

std::vector<std::shared_ptr<MCCategory>> MCCategoryManager::categories() const {
  platform::MutexLock lock(mutex_);
  return categories_;
}

std::shared_ptr<MCCategory> MCCategoryManager::categoryWithId(int64_t id) const {
  platform::MutexLock lock(mutex_);
  for (const auto& c : categories_)
    if (c->id == id) return c;
  return nullptr;
}

void MCCategoryManager::loadCategoriesFromArchive() {
  // A location without the member must not match its venues against the
  // previous location's categories.
  std::vector<std::shared_ptr<MCCategory>> list;
  std::optional<platform::Error> error;
  const auto data = archiveManager()->dataFromFile("categories.xml", &error);
  if (data && !error) {
    std::shared_ptr<MCCategory> current;
    std::string element, text;
    platform::XMLParserHandlers h;
    h.didStartElement = [&](const std::string& name, const std::map<std::string, std::string>& attributes) {
      element = name;
      text.clear();
      if (name == "Categories") list.clear();
      if (name == "Category") {
        current = std::make_shared<MCCategory>();
        const auto it = attributes.find("id");
        current->id = it == attributes.end() ? 0 : std::strtoll(it->second.c_str(), nullptr, 10);
      }
    };
    h.foundCharacters = [&](const std::string& piece) { text += piece; };
    h.didEndElement = [&](const std::string& name) {
      if (name == "name" && element == "name" && current) current->name = text;
      element.clear();
      text.clear();
      if (name == "Category" && current) list.push_back(std::exchange(current, nullptr));
    };
    platform::XMLParser parser(*data);
    if (!parser.parse(h))
      MC_LOG(1, "ERROR! Can't create parser for categories.xml file! " + parser.parserError().value_or("") + "\n");
  }
  platform::MutexLock lock(mutex_);
  categories_ = std::move(list);
}
