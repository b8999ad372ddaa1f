"""A stored model as a folder of files: the layout the demo writes and the GraphQL server reads.

One model folder holds the files of the model's content (`AugmentedScorer.get_content`):
`scorer.yaml` (the record), `model.json` or `model.pmml` (the external model) and every attached image
under its own file name. A folder of models holds one such folder per model.
"""

import io
import pathlib

from quorvex_analytics_utils.predictive_models.augmented_scorer import AugmentedScorer
from quorvex_analytics_utils.predictive_models.content import AugmentedScorerContent

RECORD = "scorer.yaml"
MODEL_JSON = "model.json"
MODEL_PMML = "model.pmml"


def image_path(folder: pathlib.Path, filename: str) -> pathlib.Path:
    """Where an attached image is stored; refuses a name that would leave the folder or hide a content file."""
    if pathlib.PurePath(filename).name != filename or filename in ("", ".", "..", RECORD, MODEL_JSON, MODEL_PMML):
        raise ValueError(f"cannot store an attached image under the name {filename!r}")
    return folder / filename


def write_model_folder(scorer: AugmentedScorer, folder: str | pathlib.Path) -> pathlib.Path:
    """Writes the scorer's content into `folder` (created if missing) and returns the folder."""
    folder = pathlib.Path(folder)
    content = scorer.get_content()
    paths = {image_path(folder, name): stream.getvalue() for name, stream in content.attached_images.items()}
    folder.mkdir(parents=True, exist_ok=True)
    (folder / RECORD).write_text(content.augmented_scorer_yaml.getvalue(), encoding="utf-8")
    if content.external_model_json is not None:
        (folder / MODEL_JSON).write_text(content.external_model_json.getvalue(), encoding="utf-8")
    if content.external_model_pmml is not None:
        (folder / MODEL_PMML).write_text(content.external_model_pmml.getvalue(), encoding="utf-8")
    for path, data in paths.items():
        path.write_bytes(data)
    return folder


def read_model_folder(folder: str | pathlib.Path) -> AugmentedScorer:
    """Rebuilds the scorer stored in `folder` by `write_model_folder`."""
    folder = pathlib.Path(folder)

    def text(name: str) -> io.StringIO | None:
        path = folder / name
        return io.StringIO(path.read_text(encoding="utf-8")) if path.is_file() else None

    images = {path.name: io.BytesIO(path.read_bytes()) for path in sorted(folder.iterdir())
              if path.is_file() and path.name not in (RECORD, MODEL_JSON, MODEL_PMML)}
    content = AugmentedScorerContent(augmented_scorer_yaml=text(RECORD), external_model_json=text(MODEL_JSON),
                                     external_model_pmml=text(MODEL_PMML), attached_images=images)
    return AugmentedScorer.parse_from_content(content)


def read_model_folders(root: str | pathlib.Path) -> dict[str, AugmentedScorer]:
    """Every model stored under `root`, by the name of its folder, in name order.

    `root` itself may be one model folder; it is then the only model, under its own name. A folder
    that cannot be read raises ValueError naming it, chained to the error of the reading.
    """
    root = pathlib.Path(root)
    folders = [root] if (root / RECORD).is_file() else [
        folder for folder in sorted(root.iterdir()) if (folder / RECORD).is_file()]
    models = {}
    for folder in folders:
        try:
            models[folder.resolve().name] = read_model_folder(folder)
        except Exception as error:  # name the folder; the cause stays attached
            raise ValueError(f"cannot read the model stored in {folder}: {error}") from error
    return models
