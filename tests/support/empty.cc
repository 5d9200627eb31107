// Keeps the support library non-empty while support files come and go.
