"""colenc as a scikit-learn transformer: OrdinalTextEncoder fits colenc's
label encoding on a training table and applies that fit to new tables, inside
Pipeline, ColumnTransformer and model selection like any other transformer."""

from colenc_sklearn._encoder import OrdinalTextEncoder

__all__ = ["OrdinalTextEncoder"]
