#include "server/content/content_parser.h"

#include <tinyxml2.h>

#include <cstdio>
#include <cstring>

#include "server/utils.h"

namespace {

const tinyxml2::XMLElement* DataRoot(tinyxml2::XMLDocument& doc, const std::string& text, bool* ok) {
  doc.Parse(text.c_str(), text.size());
  const tinyxml2::XMLElement* root = doc.Error() ? nullptr : doc.FirstChildElement();
  if (root == nullptr || std::strcmp(root->Name(), "data") != 0) {
    MV_LOG(1, "Parse error: no <data> element!\n");
    if (ok) *ok = false;
    return nullptr;
  }
  return root;
}

void ReadInt(const tinyxml2::XMLElement* e, int* value) {
  if (e->GetText() != nullptr) std::sscanf(e->GetText(), "%d", value);
}

}  // namespace

std::map<int, std::pair<std::string, int>> ParseMapsXml(const std::string& text, bool* ok) {
  std::map<int, std::pair<std::string, int>> maps;
  tinyxml2::XMLDocument doc;
  const tinyxml2::XMLElement* root = DataRoot(doc, text, ok);
  if (root == nullptr) return maps;
  for (auto* m = root->FirstChildElement("maps"); m; m = m->NextSiblingElement("maps")) {
    for (auto* item = m->FirstChildElement("item"); item; item = item->NextSiblingElement("item")) {
      int id = -1, version = -1;
      std::string title;
      for (auto* e = item->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (std::strcmp(e->Name(), "id") == 0) ReadInt(e, &id);
        else if (std::strcmp(e->Name(), "version") == 0) ReadInt(e, &version);
        else if (std::strcmp(e->Name(), "title") == 0 && e->GetText()) title = e->GetText();
      }
      if (id >= 0 && version >= 0 && maps.emplace(id, std::make_pair(title, version)).second)
        MV_LOG(2, "Map #%d: '%s' (ver. %d)\n", id, title.c_str(), version);
    }
  }
  if (ok) *ok = true;
  return maps;
}

std::map<int, std::string> ParseVersionsXml(const std::string& text, bool* ok) {
  std::map<int, std::string> versions;
  tinyxml2::XMLDocument doc;
  const tinyxml2::XMLElement* root = DataRoot(doc, text, ok);
  if (root == nullptr) return versions;
  for (auto* v = root->FirstChildElement("versions"); v; v = v->NextSiblingElement("versions")) {
    for (auto* item = v->FirstChildElement("item"); item; item = item->NextSiblingElement("item")) {
      int version = 0;
      std::string path;
      for (auto* e = item->FirstChildElement(); e; e = e->NextSiblingElement()) {
        if (std::strcmp(e->Name(), "version") == 0) {
          ReadInt(e, &version);
        } else if (std::strcmp(e->Name(), "file") == 0) {
          for (auto* f = e->FirstChildElement("fullPath"); f; f = f->NextSiblingElement("fullPath"))
            path = f->GetText() ? f->GetText() : "";
        }
      }
      if (version > 0) {
        MV_LOG(2, "Version %d :: '%s'\n", version, path.c_str());
        versions.emplace(version, path);
      }
    }
  }
  if (ok) *ok = true;
  return versions;
}
