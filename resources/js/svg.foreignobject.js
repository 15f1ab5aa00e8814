'use strict';

// A <foreignObject> element for svg.js 2.x, to put HTML (the CSS spinner) inside a drawing.
SVG.ForeignObject = SVG.invent({
    create: 'foreignObject',
    inherit: SVG.Element,

    extend: {
        // Appends an HTML element (a tag name or a node); attributes are set on a newly made one.
        appendChild: function (child, attributes) {
            var node = typeof child === 'string' ? document.createElement(child) : child;
            if (attributes) {
                Object.keys(attributes).forEach(function (name) {
                    node.setAttribute(name, attributes[name]);
                });
            }
            this.node.appendChild(node);
            return this;
        },

        getChild: function (index) {
            return this.node.childNodes[index];
        }
    },

    construct: {
        foreignObject: function (width, height) {
            return this.put(new SVG.ForeignObject()).size(width === undefined ? 100 : width,
                                                         height === undefined ? 100 : height);
        }
    }
});
