#include "page/display_list.h"

#include <utility>

namespace plotanix {

void DisplayList::clear() {
    // What was spilled stays with the copies of the list that hold it.
    if (spilled_) spill_ = spill_->fresh();
    spilled_ = false;
    overflowed_ = false;
    ++generation_;
    recorded_ = polylines_ = 0;
    items_.clear();
    points_.clear();
    boxes_.clear();
    labels_.clear();
    faces_.clear();
    text_.clear();
    paths_.clear();
    rings_.clear();
    pathPoints_.clear();
    // A page of two million lines must not hold its memory for the next page.
    items_.shrink_to_fit();
    points_.shrink_to_fit();
    text_.shrink_to_fit();
    pathPoints_.shrink_to_fit();
}

void DisplayList::spillInto(std::shared_ptr<ListSpill> spill) {
    spill_ = std::move(spill);
    spilled_ = false;
}

bool DisplayList::grown() {
    if (!spill_ || points_.size() + pathPoints_.size() <= spillPoints) return true;
    // The polyline the next line may go on from keeps its last point.
    const ListItem* last = items_.empty() ? nullptr : &items_.back();
    const bool goesOn = last != nullptr && last->kind == ItemKind::polyline;
    const Colour colour = goesOn ? last->colour : 0;
    const ListPoint end = goesOn ? points_.back() : ListPoint{};
    DisplayList part;
    part.width_ = width_, part.height_ = height_;
    part.items_.swap(items_);
    part.points_.swap(points_);
    part.boxes_.swap(boxes_);
    part.labels_.swap(labels_);
    part.faces_ = faces_; // the labels still to come use them too
    part.text_.swap(text_);
    part.paths_.swap(paths_);
    part.rings_.swap(rings_);
    part.pathPoints_.swap(pathPoints_);
    part.polylines_ = polylines_;
    spill_->take(part);
    spilled_ = true;
    ++generation_;
    recorded_ = polylines_ = 0;
    if (goesOn) {
        // A polyline of one point so far: copies draw it once it has two.
        items_.push_back({ItemKind::polyline, colour, 0, 1});
        points_.push_back(end);
        ++recorded_;
    }
    return true;
}

void DisplayList::setPageSize(int32_t width, int32_t height) {
    width_ = width;
    height_ = height;
}

bool DisplayList::admit(size_t textBytes, size_t items) {
    if (overflowed_) return false;
    if (recorded_ + items > maxItems || text_.size() + textBytes > maxTextBytes) {
        overflowed_ = true;
        return false;
    }
    recorded_ += items;
    return true;
}

bool DisplayList::addLine(ListPoint from, ListPoint to, Colour colour) {
    colour &= 0xFFFFFF; // the raster ignores the top byte; so must the merging
    ListItem* last = items_.empty() || sealed_ ? nullptr : &items_.back();
    sealed_ = false;
    if (last != nullptr && last->colour != colour) last = nullptr;
    const bool lines = last != nullptr && (last->kind == ItemKind::segments ||
                                           (last->kind == ItemKind::polyline && last->count == 2));
    if (last != nullptr && (last->kind == ItemKind::polyline || last->kind == ItemKind::segments) &&
        points_.back() == from) {
        if (to == from) return !overflowed_; // adds nothing to the path
        if (!admit(0)) return false;
        if (last->kind == ItemKind::segments && last->count > 2) {
            // The run's last line goes on as a polyline of its own.
            last->count -= 2;
            items_.push_back(
                {ItemKind::polyline, colour, static_cast<uint32_t>(points_.size() - 2), 2});
            last = &items_.back();
        }
        last->kind = ItemKind::polyline;
        points_.push_back(to);
        ++last->count;
        return grown();
    }
    if (!admit(0)) return false;
    ++polylines_;
    if (lines) {
        last->kind = ItemKind::segments;
        last->count += 2;
    } else {
        items_.push_back({ItemKind::polyline, colour, static_cast<uint32_t>(points_.size()), 2});
    }
    points_.push_back(from);
    points_.push_back(to);
    return grown();
}

size_t DisplayList::mark() {
    sealed_ = true;
    return items_.size();
}

bool DisplayList::recolour(size_t from, size_t to, uint64_t generation, Colour colour) {
    if (generation != generation_ || to != items_.size() || from > to) return false;
    for (size_t i = from; i < to; ++i)
        items_[i].colour = colour & 0xFFFFFF;
    return true;
}

bool DisplayList::addBox(const ListBox& box, Colour colour) {
    if (!admit(0)) return false;
    items_.push_back({ItemKind::box, colour & 0xFFFFFF, static_cast<uint32_t>(boxes_.size()), 1});
    boxes_.push_back(box);
    return true;
}

uint32_t DisplayList::faceIndex(const LabelFace& face) {
    // Pages use one font, so the last face is nearly always the one.
    for (size_t i = faces_.size(); i-- > 0;) {
        const LabelFace& known = faces_[i];
        if (known.emHeight == face.emHeight && known.faceIndex == face.faceIndex &&
            known.filePath == face.filePath) {
            return static_cast<uint32_t>(i);
        }
    }
    faces_.push_back(face);
    return static_cast<uint32_t>(faces_.size() - 1);
}

bool DisplayList::addLabel(const ListLabel& label, std::string_view text, const LabelFace& face,
                           Colour colour) {
    if (!admit(text.size())) return false;
    ListLabel kept = label;
    kept.textStart = text_.size();
    kept.textLength = text.size();
    kept.face = faceIndex(face);
    text_.append(text);
    items_.push_back(
        {ItemKind::label, colour & 0xFFFFFF, static_cast<uint32_t>(labels_.size()), 1});
    labels_.push_back(kept);
    return true;
}

bool DisplayList::addPath(PathView path, Colour colour) {
    if (path.rings.empty()) return !overflowed_;
    if (!admit(0, path.points.size())) return false;
    items_.push_back({ItemKind::path, colour & 0xFFFFFF, static_cast<uint32_t>(paths_.size()), 1});
    paths_.push_back({static_cast<uint32_t>(pathPoints_.size()),
                      static_cast<uint32_t>(rings_.size()),
                      static_cast<uint32_t>(path.rings.size()), path.rule});
    rings_.insert(rings_.end(), path.rings.begin(), path.rings.end());
    for (const PathPoint& p : path.points)
        pathPoints_.push_back({static_cast<float>(p.x), static_cast<float>(p.y)});
    return grown();
}

} // namespace plotanix
