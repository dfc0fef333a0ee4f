#include "mapview/mc_press_pin.h"

#include "mapview/mc_artwork.h"

using mc_artwork::Art;
using platform::ui::Color;
using platform::ui::Rect;

namespace {

const platform::ui::Font kCalloutFont{"Circe-Bold", 16};

}  // namespace

MCPressPin::MCPressPin(Rect frame) : Button(frame) {
  setFrame(Rect(0, 0, mc_artwork::width(Art::Pin), mc_artwork::height(Art::Pin)));
  setImage(mc_artwork::image(Art::Pin));

  unnotationView = std::make_shared<platform::ui::View>(Rect(0, 0, 120, 44));
  unnotationView->setBackgroundColor(Color::rgb(74, 173, 212));
  unnotationView->setClipsToBounds(false);
  unnotationView->setCornerRadius(unnotationView->frame().size.height * 0.5);
  unnotationView->setAlpha(1.0);

  pipka_ = std::make_shared<platform::ui::ImageView>(mc_artwork::image(Art::Arrow));
  pipka_->setFrame(Rect(0, 0, mc_artwork::width(Art::Arrow), mc_artwork::height(Art::Arrow)));
  const Rect callout = unnotationView->frame();
  Rect arrow = pipka_->frame();
  arrow.origin.y = callout.minY() + callout.size.height - 1.0;
  pipka_->setFrame(arrow);
  pipka_->setCenter({callout.midX(), pipka_->center().y});
  unnotationView->addSubview(pipka_);

  btn = std::make_shared<platform::ui::Button>(Rect(0, 0, 120, 44));
  btn->setTitle("Make route");
  btn->setTitleColor(Color::rgb(250, 250, 250));
  btn->setFont(kCalloutFont);
  unnotationView->addSubview(btn);

  Rect placed = unnotationView->frame();
  placed.origin.y = this->frame().minY() - pipka_->frame().size.height - placed.size.height;
  unnotationView->setFrame(placed);
  unnotationView->setCenter({center().x, unnotationView->center().y});
}

void MCPressPin::swithPinMode() {
  removeMode_ = true;
  unnotationView->setBackgroundColor(Color::rgb(211, 102, 102));
  pipka_->setImage(mc_artwork::image(Art::RemoveArrow));
  btn->setTitle("Remove pin");
  btn->setFont(kCalloutFont);
}
