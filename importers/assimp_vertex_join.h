// Whether assimp's step that joins identical vertices can change a mesh. On meshes that come
// indexed (glTF, most FBX) it merges nothing but still costs about as much as the rest of the
// import, so the importer runs it only where this says it may matter.
#pragma once

struct aiMesh;
struct aiScene;
namespace Assimp {
class Importer;
}

namespace vorn {

// False only when joining can leave the mesh as it is: every vertex is used, first used in
// vertex order, and no two vertices are near one another in every attribute. "Near" is far
// wider than any tolerance the join applies, so a false answer is safe; true may be too careful.
bool JoinMayChangeMesh(const aiMesh& mesh);

// Runs the join on the importer's scene, on those meshes only where it may change them; the
// scene then is as if read with the step. Null when the step failed (the importer's error
// string says why; the scene is gone).
const aiScene* JoinIdenticalVerticesWhereNeeded(Assimp::Importer& importer, const aiScene* scene);

}  // namespace vorn
