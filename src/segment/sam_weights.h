#pragma once
// Where the exported encoder and decoder of a SAM-family weights file are kept: beside the
// weights (what `quorlan export-model` writes) or in the studio's cache, keyed by the weights'
// digest, so a file is exported once and a changed file is exported again.
#include <QJsonObject>
#include <QString>

namespace quorlan {

// Whether the file name is one the engine builds as a SAM-family model (sam_b.pt, mobile_sam.pt,
// sam2.1_t.pt, ...), whether or not it exists yet (the engine fetches them when online).
bool is_sam_weights(const QString& path);
// The folder the studio exports `weights` into: the cache, under the file's digest (or its name
// while the engine has still to fetch it).
QString sam_cache_folder(const QString& weights);
// The exported pair `path` stands for when there is one: the pair's folder, a file in it, or
// weights whose pair is beside them or in the cache and was made from these very weights.
// Empty when the weights have to be exported first.
QString exported_pair_of(const QString& path);
// The engine request that exports `weights` into the cache.
QJsonObject sam_export_request(const QString& weights);

}  // namespace quorlan
